// orv-sim: a register simulator for hosts that use the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace orvsim {

// Faults to inject, so that hosts can test their error handling.
struct Faults {
    unsigned refuseEvery = 0;  // serial: NAK every Nth record; TCP: refuse (0x82) every Nth answer
    unsigned badChecksumEvery = 0;    // corrupt the checksum of every Nth record or block sent
    bool badChecksumRepeats = false;  // serial: the repeats of a corrupted record too
    unsigned delayMs = 0;             // answer this late
    bool silent = false;              // never answer
    unsigned endAfter = 0;            // end the exchange at its Nth record or block, either way
};

struct Options {
    std::string dir = ".";
    std::string station;              // serial: the address it answers (empty: any)
    std::string servePrefix = "GET";  // a command that begins with it asks for data
    std::string echoPrefix = "ECHO";  // serial: after such a command, a record is echoed
    unsigned idleMs = 500;            // TCP: serve when a new exchange stays silent this long
    Faults faults;
};

// Set by Ctrl-C; every session loop looks at it at least every 200 ms.
extern std::atomic<bool> g_stop;

// One line of the exchange log on stdout: "hh:mm:ss.mmm <text>".
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Printable form of a record or block for the log (long ones are cut).
std::string Printable(const std::string& data);

// Sleeps for the --delay fault, if any, before an answer.
void FaultPause(const Options& options);

// A TCP block or USB packet for the log: commands and headers as text, the
// rest as the hex of its first 32 bytes.
std::string DescribeBlock(std::uint8_t type, const std::vector<std::uint8_t>& data);

// Serves the hosts that reg accepts, one at a time, until stopped: a Session
// runs each, then (reg.*drop)() ends its connection. link names the log lines.
template <class Session, class Register>
void ServeHosts(Register& reg, const Options& options, void (Register::*drop)(), const char* link,
                const char* opened) {
    while (!g_stop.load()) {
        if (!reg.Accept(200)) continue;
        Log("%s: %s", link, opened);
        Session session(reg, options);
        session.Run();
        (reg.*drop)();
    }
    Log("%s: stopped", link);
}

// Serves one serial line until stopped.
int RunSerial(const std::string& device, int baud, const Options& options);
// Listens on 127.0.0.1:port (0: any free port) and serves connections until
// stopped.
int RunTcp(std::uint16_t port, const Options& options);
// Listens on a seqpacket socket at path, standing in for the USB device, and
// serves hosts until stopped.
int RunUsb(const std::string& path, const Options& options);

}  // namespace orvsim
