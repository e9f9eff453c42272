// orvctl demo on POSIX systems: orv-sim started as a child for each link.
#include "demo.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../demo_support.h"
#include "../result_text.h"
#include "orv_lib.h"
#include "progress.h"

namespace orvctl {

namespace fs = std::filesystem;

namespace {

// The COM port number the demo maps to the simulator's pty.
constexpr unsigned kDemoComPort = 9;

// A header of a two-file series in table layout, columns of 2 and 3 bytes,
// and the rows of each file: what each side has to send.
constexpr char kHeaderHex[] = "0100000000000001020203";
const char* const kHostRows[2] = {"1111111111\r\n2222222222\r\n3333333333\r\n", "4444444444\r\n"};
const char* const kRegisterRows[2] = {"0102030405\r\n0A0B0C0D0E\r\n",
                                      "F0E0D0C0B0\r\nABCDEF0123\r\n"};

using orv::demo::HexOf;
using orv::demo::WriteText;

// The simulator of one link, serving the register folder, its log in
// sim-LINK.log of the working folder; with verbose, that log is printed once
// the link's exchange is over.
class LinkSimulator : public orv::demo::Simulator {
  public:
    LinkSimulator(const std::string& program, std::vector<std::string> args, const fs::path& work,
                  const std::string& link, bool verbose)
        : log_(work / ("sim-" + link + ".log")), verbose_(verbose) {
        args.insert(args.begin(), program);
        args.insert(args.end(), {"--data", (work / "register").string()});
        started_ = Start(args, log_);
        if (!started_) std::fprintf(stderr, "orvctl demo: cannot start %s\n", program.c_str());
    }
    ~LinkSimulator() {
        std::ifstream in(log_);
        for (std::string line; verbose_ && std::getline(in, line);) {
            std::printf("    sim| %s\n", line.c_str());
        }
    }
    bool Started() const { return started_; }

  private:
    fs::path log_;
    bool verbose_;
    bool started_ = false;
};

struct Check {
    int failures = 0;
    void Step(const char* what, std::uint32_t code) {
        if (code == 0) {
            std::printf("  %-44s ok\n", what);
        } else {
            std::printf("  %-44s result %u: %s\n", what, code, orv_tools::ResultMeaning(code));
            ++failures;
        }
    }
    void Same(const std::string& what, const std::string& expected, const std::string& actual) {
        bool same = expected == actual;
        std::printf("  %-44s %s (%zu hex characters)\n", what.c_str(), same ? "same" : "DIFFERENT",
                    actual.size());
        if (!same) ++failures;
    }
};

// A send and a receive of the two-file series on the link that is open.
void Exchange(const fs::path& work, const fs::path& reg, Check& check) {
    fs::path host = work / "host";
    std::string headerOut = (host / "header.txt").string();
    std::string dataOut = (host / "send.txt").string();
    std::string headerIn = (host / "received-header.txt").string();
    std::string dataIn = (host / "received.txt").string();
    std::string put = "PUT", get = "GET";

    ExchangeRequest send{};
    send.direction = 1;
    send.selection = 2;
    send.command = put.data();
    send.receiveWait = 10000;
    send.retries = 3;
    send.timeout = 3000;
    send.selectRetries = 3;
    send.selectTimeout = 3000;
    HeaderFileDesc header{0, headerOut.data(), 10000};
    DataFileDesc data{1, 0, dataOut.data(), 10000};
    check.Step("send a header and a two-file csv series", Ol_WriteRead(&send, &header, &data));
    check.Same("  register received file 1", HexOf(dataOut), HexOf(reg / "in" / "data.txt"));
    check.Same("  register received file 2", HexOf(NumberedName(dataOut, 2)),
               HexOf(reg / "in" / "data.002"));

    ExchangeRequest receive = send;
    receive.direction = 0;
    receive.command = get.data();
    HeaderFileDesc header2{1, headerIn.data(), 10000};
    DataFileDesc data2{1, 0, dataIn.data(), 10000};
    check.Step("receive the register's two-file series", Ol_WriteRead(&receive, &header2, &data2));
    check.Same("  header", kHeaderHex, HexOf(headerIn));
    check.Same("  file 1", HexOf(reg / "out" / "data.txt"), HexOf(dataIn));
    check.Same("  file 2", HexOf(reg / "out" / "data.002"), HexOf(NumberedName(dataIn, 2)));
    std::printf("  %-44s %u\n", "  data characters received", data2.byteCount);
}

void Prepare(const fs::path& work) {
    fs::create_directories(work / "host");
    fs::create_directories(work / "register" / "out");
    WriteText(work / "host" / "header.txt", kHeaderHex);
    WriteText(work / "host" / "send.txt", kHostRows[0]);
    WriteText(work / "host" / "send.002", kHostRows[1]);
    WriteText(work / "register" / "out" / "header.txt", kHeaderHex);
    WriteText(work / "register" / "out" / "data.txt", kRegisterRows[0]);
    WriteText(work / "register" / "out" / "data.002", kRegisterRows[1]);
}

std::string SimulatorPath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path() / "orv-sim").string();
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    // Every folder and file of the demo, the received ones included, is
    // private to the user, in a --dir folder as in the default one.
    umask(077);
    auto start = std::chrono::steady_clock::now();
    fs::path work = options.dir;
    if (work.empty()) {
        char pattern[] = "/tmp/orv-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("orvctl demo: mkdtemp");
            return 1;
        }
        work = pattern;
    }
    try {
        Prepare(work);
    } catch (const fs::filesystem_error& e) {
        std::fprintf(stderr, "orvctl demo: cannot prepare %s: %s\n", work.c_str(),
                     e.code().message().c_str());
        return 1;
    }
    fs::path reg = work / "register";
    std::string sim = SimulatorPath();
    std::printf("orvctl demo: working in %s\n", work.c_str());
    char versionText[32] = "";
    VersionRecord version{versionText};
    Ol_Version(&version);
    std::printf("library %s, simulator %s\n", versionText, sim.c_str());
    Check check;
    // Opens the link, runs the exchange over it when it opened, and ends the
    // library's use either way.
    auto overLink = [&](const char* step, auto open) {
        Ol_Initialize();
        const std::uint32_t rc = open();
        check.Step(step, rc);
        if (rc == 0) Exchange(work, reg, check);
        Ol_Close();
        Ol_End();
    };

    if (options.tcp) {
        LinkSimulator simulator(sim, {"--tcp", "0"}, work, "tcp", options.verbose);
        if (!simulator.Started()) return 1;
        std::string port = simulator.Where().substr(simulator.Where().rfind(':') + 1);
        std::printf("\nTCP: register simulator on 127.0.0.1:%s\n", port.c_str());
        std::string address = "127.0.0.1", terminal = "127.0.0.1";
        NetworkOpenRecord open{address.data(), terminal.data(),
                               static_cast<std::uint32_t>(std::stoul(port))};
        overLink("Ol_Open_MWS", [&] { return Ol_Open_MWS(&open); });
    }

    if (options.serial) {
        LinkSimulator simulator(sim, {"--pty"}, work, "serial", options.verbose);
        if (!simulator.Started()) return 1;
        std::string device = simulator.Where();
        std::string variable = "ORV_LIB_COM" + std::to_string(kDemoComPort);
        setenv(variable.c_str(), device.c_str(), 1);
        std::printf("\nserial: register simulator on %s, mapped to COM%u (%s)\n", device.c_str(),
                    kDemoComPort, variable.c_str());
        std::string station = "000001";
        SerialOpenRecord open{station.data(), kDemoComPort, 2 /* 9600 */,
                              2 /* lines not watched */};
        overLink("Ol_Open_RS (line mode 2)", [&] { return Ol_Open_RS(&open); });
    }

    if (options.usb) {
        LinkSimulator simulator(sim, {"--usb", (work / "usb.sock").string()}, work, "usb",
                                options.verbose);
        if (!simulator.Started()) return 1;
        std::string device = simulator.Where();
        std::printf("\nUSB: register simulator behind %s\n", device.c_str());
        UsbOpenRecord open{device.data()};
        overLink("Ol_Open_USB", [&] { return Ol_Open_USB(&open); });
    }

    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\n%s in %.1f s; the files are in %s\n",
                check.failures == 0 ? "every exchange succeeded" : "some exchanges FAILED", seconds,
                work.c_str());
    return check.failures == 0 ? 0 : 1;
}

}  // namespace orvctl
