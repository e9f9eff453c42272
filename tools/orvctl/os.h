// What orvctl asks of the operating system, one implementation per system:
// os_posix.cpp (Linux and other POSIX systems) and os_win32.cpp (Windows).
// Everything else in orvctl is the same on both.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orvctl {

// While it exists, an interrupt (Ctrl-C; on POSIX also SIGTERM) asks the
// library to cancel the running call through Ol_Cancel(1); a second interrupt
// removes the file removeOnGiveUp names (when not empty) and ends the program
// at once with status 130. The library is never called from inside a signal
// handler. On POSIX, a reader of stdout or stderr that goes away (SIGPIPE)
// no longer ends the program mid-transfer: the writes fail, the call goes on.
class CancelOnInterrupt {
  public:
    explicit CancelOnInterrupt(std::string removeOnGiveUp);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Calls tick every period on a thread of its own until Stop (or the
// destructor) returns; Stop waits for a tick that is running.
class Ticker {
  public:
    Ticker(std::function<void()> tick, std::chrono::milliseconds period);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Columns of the terminal that shows stderr; 0 when stderr is not a terminal
// (a file, a pipe).
unsigned StderrColumns();

// How far this process has read the open file at path (an absolute, normal
// path), or -1 when it is not open.
long long ReadPosition(const std::string& path);

// The dotted-decimal IPv4 address of host (a name or an address). Returns ""
// and says why in *error when there is none.
std::string ResolveIPv4(const std::string& host, std::string* error);

// A new empty file that only this user can read, in the user's temporary
// folder; "" when none can be made.
std::string NewPrivateTempFile();

// Sets or removes a variable of this process's environment, where the
// library reads its settings.
void SetVariable(const char* name, const std::string& value);
void UnsetVariable(const char* name);

// The device behind COM port n, as the library opens it: on POSIX
// ORV_LIB_COM<n>, else /dev/ttyS<n-1>; on Windows \\.\COM<n>.
std::string SerialDevicePath(unsigned port);

// Before an open in line mode 0 or 1: "" when the device can be used, else
// why the open would fail (missing, not a serial device, no modem lines).
std::string ProbeSerialDevice(unsigned port, unsigned lineMode);

}  // namespace orvctl
