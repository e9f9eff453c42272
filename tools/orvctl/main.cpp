// orvctl: a command-line host built on the library's thirteen exports only.
//
//   orvctl --tcp 127.0.0.1:9100 receive --header h.txt --data d.txt --csv
//   orvctl --serial 1 --station 000001 send --header h.txt --data d.txt
//
// Every failure is printed as its result code with a one-line meaning; the
// exit status is the result code (125 for codes above that), 0 on success.
// Ctrl-C cancels a running transfer through Ol_Cancel.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "../result_text.h"
#include "demo.h"
#include "diagnose.h"
#include "input_check.h"
#include "orv_lib.h"
#include "os.h"
#include "progress.h"

namespace {

struct LinkOptions {
    int serialPort = 0;
    std::string station = "000001";
    std::string baud = "9600";
    unsigned lineMode = 1;
    std::string tcp;
    std::string terminal = "127.0.0.1";
    std::string usb;
};

struct ExchangeOptions {
    std::string header;
    unsigned headerFormat = 0;
    std::string data;
    bool csv = false;
    std::string command;
    unsigned selection = 0;
    int retries = -1;  // -1: the link's default
    int timeout = -1;
    int receiveWait = -1;
    unsigned selectRetries = 3;
    unsigned selectTimeout = 3000;
    unsigned closeMode = 0;
    unsigned endPause = 0;
    unsigned recordTimeout = 30000;
    bool noCheck = false;
};

int ExitStatus(std::uint32_t code) {
    return code == 0 ? 0 : (code > 125 ? 125 : static_cast<int>(code));
}

int Fail(const char* what, std::uint32_t code, const std::vector<std::string>& why = {}) {
    std::fprintf(stderr, "orvctl: %s failed: result %u: %s\n", what, code,
                 orv_tools::ResultMeaning(code));
    for (const std::string& line : why) std::fprintf(stderr, "orvctl:   %s\n", line.c_str());
    return ExitStatus(code);
}

const char* const kBaudRates[] = {"2400", "4800", "9600", "19200", "38400", "57600", "115200"};

int BaudCode(const std::string& text) {
    for (int i = 0; i < 7; ++i) {
        if (text == kBaudRates[i] || text == std::to_string(i)) return i;
    }
    return -1;
}

enum class LinkKind { Serial, Tcp, Usb };

// The link as the open records want it, checked before anything is opened.
struct ResolvedLink {
    LinkKind kind = LinkKind::Serial;
    std::string station;
    unsigned baudCode = 0;
    unsigned lineMode = 1;
    std::string address;  // TCP: dotted-decimal IPv4
    std::string terminal;
    unsigned port = 0;   // serial: COM port number; TCP: port
    std::string device;  // USB
};

// "HOST:PORT" into a dotted-decimal IPv4 address and a port. Returns an
// empty text, or what is wrong and the exit status in *status.
std::string ResolveTcp(const std::string& text, ResolvedLink* out, int* status) {
    *status = 2;
    if (!text.empty() && (text[0] == '[' || std::count(text.begin(), text.end(), ':') > 1)) {
        return "--tcp " + text + ": IPv6 addresses are not supported; the link takes IPv4 only";
    }
    std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return "--tcp " + text + ": wants HOST:PORT, e.g. 127.0.0.1:9100";
    }
    std::string host = text.substr(0, colon), portText = text.substr(colon + 1);
    char* end = nullptr;
    unsigned long port = std::strtoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || port < 1 || port > 65535 ||
        !std::isdigit(static_cast<unsigned char>(portText[0]))) {
        return "--tcp " + text + ": the port must be a number from 1 to 65535";
    }
    std::string error;
    std::string dotted = orvctl::ResolveIPv4(host, &error);
    if (dotted.empty()) {
        *status = 35;
        return "--tcp " + text + ": no IPv4 address for " + host + ": " + error;
    }
    out->address = dotted;
    out->port = static_cast<unsigned>(port);
    return "";
}

// Opens the chosen link after Ol_Initialize; returns the open's result code.
std::uint32_t OpenLink(ResolvedLink& link) {
    Ol_Initialize();
    switch (link.kind) {
        case LinkKind::Serial: {
            SerialOpenRecord record{link.station.data(), link.port, link.baudCode, link.lineMode};
            return Ol_Open_RS(&record);
        }
        case LinkKind::Tcp: {
            NetworkOpenRecord record{link.address.data(), link.terminal.data(), link.port};
            return Ol_Open_MWS(&record);
        }
        case LinkKind::Usb: {
            UsbOpenRecord record{link.device.data()};
            return Ol_Open_USB(&record);
        }
    }
    return OL_BAD_STATE;
}

ExchangeRequest MakeRequest(const ExchangeOptions& o, LinkKind kind, std::uint32_t direction,
                            std::string& command) {
    ExchangeRequest request{};
    request.direction = direction;
    request.selection = o.selection;
    command = o.command;
    request.command = o.command.empty() ? nullptr : command.data();
    bool tcp = kind == LinkKind::Tcp;
    request.receiveWait = static_cast<std::uint32_t>(o.receiveWait >= 0 ? o.receiveWait : 80000);
    request.retries = static_cast<std::uint32_t>(o.retries >= 0 ? o.retries : (tcp ? 160 : 3));
    request.timeout = static_cast<std::uint32_t>(o.timeout >= 0 ? o.timeout : (tcp ? 250 : 3000));
    request.selectRetries = o.selectRetries;
    request.selectTimeout = o.selectTimeout;
    request.closeMode = o.closeMode;
    request.endPause = o.endPause;
    return request;
}

// Which exchange options a subcommand takes.
enum class ExchangeKind { Send, Receive, Echo };

void AddExchangeOptions(CLI::App* cmd, ExchangeOptions& o, ExchangeKind kind) {
    if (kind != ExchangeKind::Echo) {
        cmd->add_option("--header", o.header,
                        "header file (none: a line file or reply file exchange)");
        cmd->add_option("--header-format", o.headerFormat,
                        kind == ExchangeKind::Send ? "0 hex as is, 1 drop CR, LF and ','"
                                                   : "0 hex text, 1 comma-separated fields")
            ->check(CLI::Range(0, 1));
        cmd->add_option("--data", o.data,
                        "data file (first of a numbered series), line or reply file");
        cmd->add_flag("--csv", o.csv, "data files as comma-separated columns");
    }
    cmd->add_option("--command", o.command, "command text sent first (none when empty)");
    cmd->add_option("--selection", o.selection, "serial: 0 select, 1 bid, 2 neither")
        ->check(CLI::Range(0, 2));
    cmd->add_option("--retries", o.retries, "serial: retries per record; TCP: send attempts")
        ->default_str("3 serial, 160 TCP")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--timeout", o.timeout,
                    "serial: time limit per answer, ms; TCP: wait between send attempts, ms")
        ->default_str("3000 serial, 250 TCP")
        ->check(CLI::NonNegativeNumber);
    if (kind != ExchangeKind::Echo) {
        cmd->add_option("--receive-wait", o.receiveWait, "TCP: time limit per answer, ms")
            ->default_str("80000")
            ->check(CLI::NonNegativeNumber);
    }
    cmd->add_option("--select-retries", o.selectRetries, "serial: retries of the selection");
    cmd->add_option("--select-timeout", o.selectTimeout, "serial: time limit of the selection, ms");
    if (kind == ExchangeKind::Send) {
        cmd->add_option("--close-mode", o.closeMode, "serial: 0 EOT and wait for ACK, 1 bare EOT")
            ->check(CLI::Range(0, 1));
        cmd->add_flag("--no-check", o.noCheck,
                      "send the files as they are, without checking them first");
    }
    if (kind != ExchangeKind::Echo) {
        cmd->add_flag("--end-pause", o.endPause,
                      "end with a pause instead of the closing handshake");
    }
    if (kind != ExchangeKind::Send) {
        cmd->add_option("--record-timeout", o.recordTimeout,
                        kind == ExchangeKind::Echo
                            ? "serial: time limit for the answer record, ms"
                            : "serial: time limit per header and data record, ms");
    }
}

// Help text for the options that come before the subcommand.
std::string LinkFooter() {
    return "Link options (before the subcommand):\n"
           "  --serial PORT          COM port number of the register, 1-255: COMn on\n"
           "                         Windows; ORV_LIB_COMn, else /dev/ttyS(n-1), on Linux\n"
           "  --station TEXT         serial: station address, 1-6 characters [000001]\n"
           "  --baud RATE            serial: 2400 4800 9600 19200 38400 57600 115200 [9600]\n"
           "  --line-mode 0|1|2      serial: 0 switched RTS, 1 RTS held, 2 no modem lines [1]\n"
           "  --tcp HOST:PORT        the register's IPv4 address or host name, and port\n"
           "  --terminal ADDRESS     TCP: this terminal's address [127.0.0.1]\n"
           "  --usb NAME             USB device: on Windows the name its driver gives\n"
           "                         (opened as \\\\.\\NAME); on Linux /dev/NAME, a path,\n"
           "                         or usb:VVVV:PPPP[:SERIAL]\n"
           "Exit status: 0 done, 2 wrong command line, 3 or 4 a header or data file refused\n"
           "before sending, else the library's result code (125 above 125).";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvctl - exchange files with a register through Orv_Lib", "orvctl"};
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();
    {
        char text[64] = "";
        VersionRecord record{text};
        Ol_Version(&record);
        app.set_version_flag("--version",
                             std::string("orvctl ") + ORV_TOOLS_VERSION + ", library " + text);
    }
    LinkOptions link;
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "print the library's trace as the exchange runs");
    auto* serialOpt = app.add_option("--serial", link.serialPort, "COM port number of the register")
                          ->check([](const std::string& text) {
                              return text.find_first_not_of("0123456789") != std::string::npos ||
                                             text.empty() || text.size() > 3 ||
                                             std::stoi(text) < 1 || std::stoi(text) > 255
                                         ? std::string("a COM port number from 1 to 255")
                                         : std::string();
                          });
    app.add_option("--station", link.station, "serial: station address, 1-6 characters")
        ->check([](const std::string& text) {
            return text.empty() || text.size() > 6 ? std::string("1 to 6 characters")
                                                   : std::string();
        });
    app.add_option("--baud", link.baud, "serial: 2400 .. 115200 (or code 0..6)")
        ->check([](const std::string& text) {
            return BaudCode(text) < 0
                       ? std::string("one of 2400 4800 9600 19200 38400 57600 115200 or 0..6")
                       : std::string();
        });
    app.add_option("--line-mode", link.lineMode,
                   "serial: 0 switched RTS, 1 RTS held, 2 RTS held, lines not watched")
        ->check(CLI::Range(0, 2));
    auto* tcpOpt = app.add_option("--tcp", link.tcp, "register's HOST:PORT (IPv4)");
    app.add_option("--terminal", link.terminal,
                   "TCP: this terminal's address (its last number is sent)");
    auto* usbOpt = app.add_option("--usb", link.usb, "USB device name");
    serialOpt->excludes(tcpOpt)->excludes(usbOpt);
    tcpOpt->excludes(usbOpt);
    const std::string footer = LinkFooter();

    auto* version = app.add_subcommand("version", "print the library's version");

    std::string file;
    unsigned fileTimeout = 3000;
    bool noCheck = false;
    auto* write = app.add_subcommand("write", "send a file (Ol_Write)");
    write->add_option("FILE", file, "file to send")->required();
    write->add_option("--timeout", fileTimeout, "serial: time limit per record, ms");
    write->add_flag("--no-check", noCheck, "send the file even when it is missing or empty");
    auto* read = app.add_subcommand("read", "receive into a file (Ol_Read)");
    read->add_option("FILE", file, "file to write")->required();
    read->add_option("--timeout", fileTimeout, "serial: time limit per record, ms");

    ExchangeOptions exchange;
    auto* send =
        app.add_subcommand("send", "the PC sends: command, header and data files or a line file");
    AddExchangeOptions(send, exchange, ExchangeKind::Send);
    auto* receive =
        app.add_subcommand("receive", "the PC receives: header and data files or a reply file");
    AddExchangeOptions(receive, exchange, ExchangeKind::Receive);

    std::string echoSend, echoReceive;
    auto* echo =
        app.add_subcommand("echo", "serial: send a small file as one record, store the answer");
    AddExchangeOptions(echo, exchange, ExchangeKind::Echo);
    echo->add_option("SEND", echoSend, "file whose first 250 bytes are sent")->required();
    echo->add_option("ANSWER", echoReceive, "file that receives the answer record")->required();

    unsigned lines = 0;
    auto* signal = app.add_subcommand("signal", "serial: set DTR (bit 0) and RTS (bit 1)");
    signal->add_option("LINES", lines, "0..3")->required()->check(CLI::Range(0, 3));

    orvctl::DemoOptions demoOptions;
    auto* demo = app.add_subcommand(
        "demo",
        "run full exchanges against the register simulator (Linux only; on Windows it exits 2)");
    orvctl::AddDemoOptions(demo, demoOptions);
    for (CLI::App* sub : {write, read, send, receive, echo, signal}) sub->footer(footer);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    if (version->parsed()) {
        char text[64] = "";
        VersionRecord record{text};
        Ol_Version(&record);
        std::printf("%s\n", text);
        return 0;
    }
    if (demo->parsed()) return orvctl::RunDemo(demoOptions);

    ResolvedLink resolved;
    if (!link.tcp.empty()) {
        resolved.kind = LinkKind::Tcp;
        int status = 0;
        std::string problem = ResolveTcp(link.tcp, &resolved, &status);
        if (!problem.empty()) {
            std::fprintf(stderr, "orvctl: %s\n", problem.c_str());
            return status;
        }
        resolved.terminal = link.terminal;
    } else if (!link.usb.empty()) {
        resolved.kind = LinkKind::Usb;
        resolved.device = link.usb;
    } else if (*serialOpt) {
        resolved.kind = LinkKind::Serial;
        resolved.station = link.station;
        resolved.port = static_cast<unsigned>(link.serialPort);
        resolved.baudCode = static_cast<unsigned>(BaudCode(link.baud));
        resolved.lineMode = link.lineMode;
    } else {
        std::fprintf(stderr,
                     "orvctl: choose a link: --serial PORT, --tcp HOST:PORT or --usb NAME\n");
        return 2;
    }

    if (echo->parsed() && resolved.kind != LinkKind::Serial) {
        std::fprintf(stderr, "orvctl: echo is a serial exchange; use --serial PORT\n");
        return 2;
    }

    // The files a send reads are checked before the link is opened.
    std::optional<orvctl::InputProblem> problem;
    orvctl::SendFiles files;
    files.header = exchange.header;
    files.headerFormat = exchange.headerFormat;
    files.data = exchange.data;
    files.csv = exchange.csv;
    files.hexLines = resolved.kind == LinkKind::Tcp;
    files.limits = resolved.kind == LinkKind::Tcp   ? orvctl::NetworkLimits()
                   : resolved.kind == LinkKind::Usb ? orvctl::UsbLimits()
                                                    : orvctl::SerialLimits();
    if (send->parsed() && !exchange.noCheck) {
        problem = orvctl::CheckSendFiles(files);
    } else if (write->parsed() && !noCheck) {
        problem = orvctl::CheckPlainFile(file);
    } else if (echo->parsed()) {
        problem = orvctl::CheckPlainFile(echoSend);
    }
    if (problem) {
        std::fprintf(stderr, "orvctl: %s\norvctl: nothing was sent (--no-check sends as is)\n",
                     problem->text.c_str());
        return problem->status;
    }
    // Files 2 on of a received series take the name of the data path with its
    // last '.' replaced, even when that '.' is in a folder's name.
    if (receive->parsed() && !exchange.header.empty()) {
        const std::string& data = exchange.data;
        if (!data.empty() && InSeries(exchange.header, data)) {
            std::fprintf(stderr,
                         "orvctl: --header %s is a file of the --data series: the data would "
                         "overwrite the header\n",
                         exchange.header.c_str());
            return 2;
        }
        std::string::size_type name = data.find_last_of("/\\") + 1;  // 0 without a folder
        if (data.find('.', name) == std::string::npos && data.find('.') != std::string::npos) {
            std::fprintf(stderr,
                         "orvctl: note: %s has no extension: files 2 on of a series go to %s, "
                         "%s ...\n",
                         data.c_str(), NumberedName(data, 2).c_str(),
                         NumberedName(data, 3).c_str());
        }
    }

    // A device without modem lines would fail the open only after 32 s.
    if (resolved.kind == LinkKind::Serial && resolved.lineMode != 2) {
        std::string device = orvctl::ProbeSerialDevice(resolved.port, resolved.lineMode);
        if (!device.empty()) {
            std::fprintf(stderr, "orvctl: open failed: %s\n", device.c_str());
            return ExitStatus(OL_NO_LINK);
        }
    }

    orvctl::TraceFile trace;  // before Ol_Initialize, which reads ORV_LIB_TRACE
    orvctl::CancelOnInterrupt cancel(trace.owned() ? trace.path() : "");
    std::uint32_t rc = OpenLink(resolved);
    if (rc != 0) {
        Ol_End();
        std::vector<std::string> why = orvctl::ExplainFailure(trace.Lines(), rc);
        if (resolved.kind == LinkKind::Serial) {
            why.insert(why.begin(), "COM" + std::to_string(resolved.port) + " is " +
                                        orvctl::SerialDevicePath(resolved.port));
        } else if (resolved.kind == LinkKind::Tcp) {
            why.insert(why.begin(), "tried " + resolved.address + ":" +
                                        std::to_string(resolved.port) +
                                        " (is the register, or orv-sim, listening there?)");
        }
        return Fail("open", rc, why);
    }
    orvctl::ProgressSetup watch;
    watch.tracePath = trace.path();
    watch.verbose = verbose;
    {
        ExchangeOptions defaults = exchange;
        std::string ignored;
        ExchangeRequest request = MakeRequest(defaults, resolved.kind, 0, ignored);
        watch.waitLimitMs = resolved.kind == LinkKind::Tcp ? request.receiveWait : request.timeout;
    }

    const char* what = "transfer";
    {
        std::string command;
        LinkKind kind = resolved.kind;
        if (write->parsed()) {
            what = "write";
            SendFileDesc desc{file.data(), fileTimeout};
            watch.label = "write";
            watch.sendFiles = {file};
            orvctl::ProgressLine progress(watch);
            rc = Ol_Write(&desc);
        } else if (read->parsed()) {
            what = "read";
            DataFileDesc desc{0, 0, file.data(), fileTimeout};
            watch.label = "read";
            watch.receivePath = file;
            watch.receiveBefore = orvctl::SnapshotSeries(file);
            orvctl::ProgressLine progress(watch);
            rc = Ol_Read(&desc);
            if (rc == 0) std::printf("read: %u bytes into %s\n", desc.byteCount, file.c_str());
        } else if (send->parsed() || receive->parsed()) {
            bool sending = send->parsed();
            what = sending ? "send" : "receive";
            ExchangeRequest request = MakeRequest(exchange, kind, sending ? 1 : 0, command);
            HeaderFileDesc header{exchange.headerFormat, exchange.header.data(),
                                  exchange.recordTimeout};
            DataFileDesc data{exchange.csv ? 1u : 0u, 0, exchange.data.data(),
                              exchange.recordTimeout};
            watch.label = what;
            if (sending) {
                watch.sendFiles = exchange.header.empty() && !exchange.data.empty()
                                      ? std::vector<std::string>{exchange.data}
                                      : orvctl::SeriesFiles(files);
            } else {
                watch.receivePath = exchange.data;
                watch.receiveBefore = orvctl::SnapshotSeries(exchange.data);
            }
            orvctl::ProgressLine progress(watch);
            rc = Ol_WriteRead(&request, exchange.header.empty() ? nullptr : &header,
                              exchange.data.empty() ? nullptr : &data);
            progress.Stop();
            if (rc == 0 && !sending) {
                orvctl::SeriesSize size = orvctl::MeasureSeries(exchange.data, watch.receiveBefore);
                std::printf("receive: %u data characters, %u file(s)\n", data.byteCount,
                            size.files);
                for (const std::string& name : size.unchanged) {
                    std::fprintf(stderr, "orvctl: note: %s is left from before, not received\n",
                                 name.c_str());
                }
            }
        } else if (echo->parsed()) {
            what = "echo";
            ExchangeRequest request = MakeRequest(exchange, kind, 1, command);
            SendFileDesc out{echoSend.data(), exchange.recordTimeout};
            DataFileDesc in{0, 0, echoReceive.data(), 0};
            rc = Ol_EchoBack(&request, &out, &in);
            if (rc == 0)
                std::printf("echo: %u bytes of answer in %s\n", in.byteCount, echoReceive.c_str());
        } else if (signal->parsed()) {
            what = "signal";
            rc = Ol_SignalWrite(lines);
        }
    }
    Ol_Close();
    Ol_End();
    if (rc != 0) return Fail(what, rc, orvctl::ExplainFailure(trace.Lines(), rc));
    std::printf("%s: done\n", what);
    return 0;
}
