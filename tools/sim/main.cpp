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

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "sim.h"

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

}  // namespace orvsim

namespace {
void OnSignal(int) {
    orvsim::g_stop.store(true);
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orv-sim - a register simulator for hosts of Orv_Lib"};
    orvsim::Options options;
    int tcpPort = -1;
    bool pty = false;
    std::string device;
    int baud = 9600;
    auto* tcpOpt = app.add_option("--tcp", tcpPort, "listen on 127.0.0.1:PORT (0: any free port)");
    auto* ptyOpt = app.add_flag("--pty", pty, "serve a new pty and print its path");
    auto* deviceOpt = app.add_option("--device", device, "serve a real serial device");
    tcpOpt->excludes(ptyOpt)->excludes(deviceOpt);
    std::string usbPath;
    app.add_option("--usb", usbPath, "serve USB behind a seqpacket socket created at PATH")
        ->excludes(tcpOpt)
        ->excludes(ptyOpt)
        ->excludes(deviceOpt);
    ptyOpt->excludes(deviceOpt);
    app.add_option("--baud", baud, "baud rate of --device");
    app.add_option("--data", options.dir, "data folder (out/ is served, in/ receives)");
    app.add_option("--station", options.station, "serial: answer only this station address");
    app.add_option("--serve-prefix", options.servePrefix,
                   "a command beginning with this asks for data (\"\": every command)");
    app.add_option("--idle", options.idleMs,
                   "TCP: serve when a new exchange stays silent this many ms (0: never)");
    orvsim::Faults& faults = options.faults;
    app.add_option("--refuse-every", faults.refuseEvery,
                   "serial: NAK every Nth record; TCP: refuse (0x82) every Nth answer");
    app.add_option("--bad-checksum-every", faults.badChecksumEvery,
                   "corrupt the checksum of every Nth record or block sent");
    app.add_option("--delay", faults.delayMs, "answer this many ms late");
    app.add_flag("--silent", faults.silent, "never answer");
    app.add_option("--end-after", faults.endAfter,
                   "serial: EOT in place of the Nth answer or after N records served; "
                   "TCP: close the connection at the Nth block");
    CLI11_PARSE(app, argc, argv);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!usbPath.empty()) return orvsim::RunUsb(usbPath, options);

    if (tcpPort >= 0) {
        if (tcpPort > 65535) {
            std::fprintf(stderr, "orv-sim: port %d out of range\n", tcpPort);
            return 2;
        }
        return orvsim::RunTcp(static_cast<std::uint16_t>(tcpPort), options);
    }
    if (pty || !device.empty()) return orvsim::RunSerial(device, baud, options);
    std::fprintf(stderr, "orv-sim: choose --tcp PORT, --pty or --device PATH\n");
    return 2;
}
