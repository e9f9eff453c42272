// orvctl: a command-line host built on the library's thirteen exports only.
//
//   orvctl --tcp 127.0.0.1:9100 receive --header h.txt --data d.txt --csv
//   orvctl --serial 1 --station 000001 send --header h.txt --data d.txt
//
// Every failure is printed as its result code with a one-line meaning; the
// exit status is the result code (125 for codes above that), 0 on success.
// Ctrl-C cancels a running transfer through Ol_Cancel.
#include <CLI/CLI.hpp>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "demo.h"
#include "orv_lib.h"
#include "progress.h"
#include "result_text.h"

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
};

int ExitStatus(std::uint32_t code) {
    return code == 0 ? 0 : (code > 125 ? 125 : static_cast<int>(code));
}

int Fail(const char* what, std::uint32_t code) {
    std::fprintf(stderr, "orvctl: %s failed: result %u: %s\n", what, code,
                 orvctl::ResultMeaning(code));
    return ExitStatus(code);
}

// Waits for SIGINT/SIGTERM on a thread of its own and turns it into a cancel
// request. Signals are blocked in every other thread, so the library never
// runs inside a signal handler.
class CancelOnSignal {
  public:
    CancelOnSignal() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);  // used only to wake the thread at exit
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~CancelOnSignal() {
        done_.store(true);
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    CancelOnSignal(const CancelOnSignal&) = delete;
    CancelOnSignal& operator=(const CancelOnSignal&) = delete;
    bool Cancelled() const { return cancelled_.load(); }

  private:
    void Run() {
        while (!done_.load()) {
            int signal = 0;
            if (sigwait(&set_, &signal) != 0) continue;
            if (signal == SIGUSR1) continue;
            if (cancelled_.exchange(true)) {
                std::fprintf(stderr, "\norvctl: second interrupt, giving up\n");
                std::_Exit(130);
            }
            std::fprintf(stderr, "\norvctl: cancelling...\n");
            Ol_Cancel(1);
        }
    }
    sigset_t set_{};
    std::atomic<bool> done_{false};
    std::atomic<bool> cancelled_{false};
    std::thread thread_;
};

int BaudCode(const std::string& text) {
    static const char* const kRates[] = {"2400",  "4800",  "9600",  "19200",
                                         "38400", "57600", "115200"};
    for (int i = 0; i < 7; ++i) {
        if (text == kRates[i] || text == std::to_string(i)) return i;
    }
    return -1;
}

enum class LinkKind { Serial, Tcp, Usb };

// Opens the chosen link after Ol_Initialize; returns the open's result code.
std::uint32_t OpenLink(const LinkOptions& link, LinkKind kind, std::string& station,
                       std::string& address, std::string& terminal, std::string& device) {
    Ol_Initialize();
    switch (kind) {
        case LinkKind::Serial: {
            int code = BaudCode(link.baud);
            if (code < 0) {
                std::fprintf(stderr, "orvctl: unknown baud rate %s\n", link.baud.c_str());
                return OL_BAD_STATE;
            }
            station = link.station;
            SerialOpenRecord record{station.data(), static_cast<std::uint32_t>(link.serialPort),
                                    static_cast<std::uint32_t>(code), link.lineMode};
            return Ol_Open_RS(&record);
        }
        case LinkKind::Tcp: {
            std::string::size_type colon = link.tcp.rfind(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "orvctl: --tcp wants ADDRESS:PORT\n");
                return OL_BAD_STATE;
            }
            address = link.tcp.substr(0, colon);
            terminal = link.terminal;
            unsigned long port = std::strtoul(link.tcp.c_str() + colon + 1, nullptr, 10);
            NetworkOpenRecord record{address.data(), terminal.data(),
                                     static_cast<std::uint32_t>(port)};
            return Ol_Open_MWS(&record);
        }
        case LinkKind::Usb: {
            device = link.usb;
            UsbOpenRecord record{device.data()};
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

void AddExchangeOptions(CLI::App* cmd, ExchangeOptions& o) {
    cmd->add_option("--header", o.header, "header file (none: a line file or reply file exchange)");
    cmd->add_option("--header-format", o.headerFormat,
                    "send: 0 hex as is, 1 drop CR/LF/','; receive: 0 hex, 1 fields");
    cmd->add_option("--data", o.data, "data file (first of a numbered series), line or reply file");
    cmd->add_flag("--csv", o.csv, "data files as comma-separated columns");
    cmd->add_option("--command", o.command, "command text sent first (none when empty)");
    cmd->add_option("--selection", o.selection, "serial: 0 select, 1 bid, 2 neither")
        ->default_val(0);
    cmd->add_option("--retries", o.retries, "retry count (serial) or send attempts (TCP)");
    cmd->add_option("--timeout", o.timeout, "time limit in ms (serial) or send retry wait (TCP)");
    cmd->add_option("--receive-wait", o.receiveWait, "TCP: receive time limit in ms");
    cmd->add_option("--select-retries", o.selectRetries, "serial: retries of the selection");
    cmd->add_option("--select-timeout", o.selectTimeout, "serial: time limit of the selection, ms");
    cmd->add_option("--close-mode", o.closeMode, "serial send: 0 EOT and wait for ACK, 1 bare EOT");
    cmd->add_flag("--end-pause", o.endPause, "end with a pause instead of the closing handshake");
    cmd->add_option("--record-timeout", o.recordTimeout,
                    "serial receive: time limit per header and data record, ms");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvctl - exchange files with a register through Orv_Lib"};
    app.require_subcommand(1);
    LinkOptions link;
    auto* serialOpt =
        app.add_option("--serial", link.serialPort, "COM port number of the register");
    app.add_option("--station", link.station, "serial: station address (6 characters)");
    app.add_option("--baud", link.baud, "serial: 2400 .. 115200 (or code 0..6)");
    app.add_option("--line-mode", link.lineMode,
                   "serial: 0 switched RTS, 1 RTS held, 2 RTS held, lines not watched");
    auto* tcpOpt = app.add_option("--tcp", link.tcp, "register's ADDRESS:PORT");
    app.add_option("--terminal", link.terminal,
                   "TCP: this terminal's address (its last number is sent)");
    auto* usbOpt = app.add_option("--usb", link.usb, "USB device name");
    serialOpt->excludes(tcpOpt)->excludes(usbOpt);
    tcpOpt->excludes(usbOpt);

    auto* version = app.add_subcommand("version", "print the library's version");

    std::string file;
    unsigned fileTimeout = 3000;
    auto* write = app.add_subcommand("write", "send a file (Ol_Write)");
    write->add_option("FILE", file, "file to send")->required();
    write->add_option("--timeout", fileTimeout, "serial: time limit per record, ms");
    auto* read = app.add_subcommand("read", "receive into a file (Ol_Read)");
    read->add_option("FILE", file, "file to write")->required();
    read->add_option("--timeout", fileTimeout, "serial: time limit per record, ms");

    ExchangeOptions exchange;
    auto* send =
        app.add_subcommand("send", "the PC sends: command, header and data files or a line file");
    AddExchangeOptions(send, exchange);
    auto* receive =
        app.add_subcommand("receive", "the PC receives: header and data files or a reply file");
    AddExchangeOptions(receive, exchange);

    std::string echoSend, echoReceive;
    auto* echo =
        app.add_subcommand("echo", "serial: send a small file as one record, store the answer");
    AddExchangeOptions(echo, exchange);
    echo->add_option("SEND", echoSend, "file whose first 250 bytes are sent")->required();
    echo->add_option("ANSWER", echoReceive, "file that receives the answer record")->required();

    unsigned lines = 0;
    auto* signal = app.add_subcommand("signal", "serial: set DTR (bit 0) and RTS (bit 1)");
    signal->add_option("LINES", lines, "0..3")->required();

    orvctl::DemoOptions demoOptions;
    auto* demo = app.add_subcommand("demo", "run full exchanges against the register simulator");
    orvctl::AddDemoOptions(demo, demoOptions);

    CLI11_PARSE(app, argc, argv);

    if (version->parsed()) {
        char text[64] = "";
        VersionRecord record{text};
        Ol_Version(&record);
        std::printf("%s\n", text);
        return 0;
    }
    if (demo->parsed()) return orvctl::RunDemo(demoOptions);

    LinkKind kind;
    if (!link.tcp.empty()) {
        kind = LinkKind::Tcp;
    } else if (!link.usb.empty()) {
        kind = LinkKind::Usb;
    } else if (*serialOpt) {
        kind = LinkKind::Serial;
    } else {
        std::fprintf(stderr,
                     "orvctl: choose a link: --serial PORT, --tcp ADDRESS:PORT or --usb NAME\n");
        return 2;
    }

    CancelOnSignal cancel;
    std::string station, address, terminal, device;
    std::uint32_t rc = OpenLink(link, kind, station, address, terminal, device);
    if (rc != 0) {
        Ol_End();
        return Fail("open", rc);
    }

    const char* what = "transfer";
    {
        std::string command;
        if (write->parsed()) {
            what = "write";
            SendFileDesc desc{file.data(), fileTimeout};
            orvctl::ProgressLine progress("write", "");
            rc = Ol_Write(&desc);
        } else if (read->parsed()) {
            what = "read";
            DataFileDesc desc{0, 0, file.data(), fileTimeout};
            orvctl::ProgressLine progress("read", file);
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
            orvctl::ProgressLine progress(what, sending ? "" : exchange.data);
            rc = Ol_WriteRead(&request, exchange.header.empty() ? nullptr : &header,
                              exchange.data.empty() ? nullptr : &data);
            progress.Stop();
            if (rc == 0 && !sending) {
                orvctl::SeriesSize size = orvctl::MeasureSeries(exchange.data);
                std::printf("receive: %u data characters, %u file(s)\n", data.byteCount,
                            size.files);
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
    if (rc != 0) return Fail(what, rc);
    std::printf("%s: done\n", what);
    return 0;
}
