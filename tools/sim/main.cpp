// orv-sim: a register simulator, so that hosts can be run and tested without
// a register. It serves one link, keeps its data as files in a folder, logs a
// line per record or block in both directions, and stops cleanly on Ctrl-C.
//
//   orv-sim --tcp 9100 --data ./register          # TCP on 127.0.0.1:9100
//   orv-sim --pty --data ./register               # a pty; map it with ORV_LIB_COM<n>
//   orv-sim --device /dev/ttyUSB0 --baud 9600     # a real serial line
//   orv-sim --usb "$PWD/reg.sock" --data ./register  # USB: Ol_Open_USB that path
#include <CLI/CLI.hpp>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "sim.h"
#include "store.h"

namespace orvsim {

std::atomic<bool> g_stop{false};

void Log(const char* format, ...) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::printf("%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<long>(now.tv_usec / 1000));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}

std::string Printable(const std::string& data) {
    std::string out = "\"";
    std::size_t shown = 0;
    for (char ch : data) {
        auto c = static_cast<unsigned char>(ch);
        if (++shown > 60) {
            out += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\" (" + std::to_string(data.size()) + ")";
}

void FaultPause(const Options& options) {
    if (options.faults.delayMs != 0) usleep(options.faults.delayMs * 1000u);
}

std::string DescribeBlock(std::uint8_t type, const std::vector<std::uint8_t>& data) {
    constexpr std::uint8_t kCommand = 0, kHeader = 3, kLastHeader = 'C';
    if (type == kHeader || type == kLastHeader || type == kCommand) {
        return Printable(std::string(data.begin(), data.end()));
    }
    return Printable(ToHex(data.data(), std::min<std::size_t>(data.size(), 32)));
}

}  // namespace orvsim

namespace {
void OnSignal(int) {
    orvsim::g_stop.store(true);
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orv-sim - a register simulator for hosts of Orv_Lib"};
    app.set_version_flag("--version", std::string("orv-sim ") + ORV_TOOLS_VERSION);
    app.option_defaults()->always_capture_default();
    orvsim::Options options;
    int tcpPort = -1;
    bool pty = false, sampleData = false;
    std::string device;
    int baud = 9600;
    auto* tcpOpt = app.add_option("--tcp", tcpPort, "listen on 127.0.0.1:PORT (0: any free port)")
                       ->check(CLI::Range(0, 65535));
    auto* ptyOpt = app.add_flag("--pty", pty, "serve a new pty and print its path");
    auto* deviceOpt = app.add_option("--device", device, "serve a real serial device");
    tcpOpt->excludes(ptyOpt)->excludes(deviceOpt);
    std::string usbPath;
    app.add_option("--usb", usbPath, "serve USB behind a seqpacket socket created at PATH")
        ->excludes(tcpOpt)
        ->excludes(ptyOpt)
        ->excludes(deviceOpt);
    ptyOpt->excludes(deviceOpt);
    auto* baudOpt = app.add_option("--baud", baud, "baud rate of --device")
                        ->check(CLI::IsMember({2400, 4800, 9600, 19200, 38400, 57600, 115200}));
    baudOpt->needs(deviceOpt);
    app.add_option("--data", options.dir, "data folder (out/ is served, in/ receives)");
    app.add_flag("--sample-data", sampleData,
                 "write a sample series and a README of its fields into an empty out/");
    std::vector<CLI::Option*> serialOnly, tcpOnly;
    serialOnly.push_back(
        app.add_option("--station", options.station, "serial: answer only this station address"));
    app.add_option("--serve-prefix", options.servePrefix,
                   "a command beginning with this asks for data (\"\": every command)");
    serialOnly.push_back(app.add_option("--echo-prefix", options.echoPrefix,
                                        "serial: after a command beginning with this, the next "
                                        "record is answered with itself (the echo exchange)"));
    tcpOnly.push_back(
        app.add_option("--idle", options.idleMs,
                       "TCP: serve when a new exchange stays silent this many ms (0: never)"));
    orvsim::Faults& faults = options.faults;
    app.add_option("--refuse-every", faults.refuseEvery,
                   "serial: NAK every Nth record received; TCP: a refusal (0x82) in place of "
                   "every Nth block sent, answers and served blocks alike");
    app.add_option("--bad-checksum-every", faults.badChecksumEvery,
                   "a wrong checksum on every Nth record or block sent (serial: served and "
                   "echoed records; TCP: answers and served blocks)");
    serialOnly.push_back(app.add_flag("--bad-checksum-repeats", faults.badChecksumRepeats,
                                      "serial: the repeats of a corrupted record are corrupted "
                                      "too"));
    app.add_option("--delay", faults.delayMs, "answer this many ms late");
    app.add_flag("--silent", faults.silent, "never answer");
    app.add_option("--end-after", faults.endAfter,
                   "end each exchange at its Nth record or block, either way: serial EOT in "
                   "place of the Nth answer, or only N records served; TCP: close the connection");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    bool serial = pty || !device.empty();
    bool usb = !usbPath.empty();
    if (!serial && !usb && tcpPort < 0) {
        std::fprintf(stderr, "orv-sim: choose --tcp PORT, --pty, --device PATH or --usb PATH\n");
        return 2;
    }
    // Options of another link are refused; the USB link has none of either.
    std::vector<CLI::Option*> foreign = serial ? tcpOnly : serialOnly;
    if (usb) foreign.insert(foreign.end(), tcpOnly.begin(), tcpOnly.end());
    for (CLI::Option* option : foreign) {
        if (option->count() == 0) continue;
        std::fprintf(stderr, "orv-sim: %s does not apply to a %s link\n",
                     option->get_name().c_str(),
                     usb      ? "USB"
                     : serial ? "serial"
                              : "TCP");
        return 2;
    }

    std::string problem = orvsim::PrepareDataFolder(options.dir, sampleData);
    if (!problem.empty()) {
        std::fprintf(stderr, "orv-sim: %s\n", problem.c_str());
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!usbPath.empty()) return orvsim::RunUsb(usbPath, options);

    if (!serial) return orvsim::RunTcp(static_cast<std::uint16_t>(tcpPort), options);
    return orvsim::RunSerial(device, baud, options);
}
