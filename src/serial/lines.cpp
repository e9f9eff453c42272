// The serial port and its modem lines.
#include "serial/lines.h"

#include "api/library.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"

namespace orv::serial {

namespace {

constexpr std::int32_t kDsrWaitTicks = 300;
constexpr std::int32_t kCarrierWatchTicks = 300;
// A wait for a modem line blocks this long between two looks at the line.
constexpr std::uint32_t kLinePollMs = 10;

platform::SerialPort* Port() {
    return Cells().port.load();
}

std::int32_t TestLine(std::uint32_t bit) {
    if (Cells().linesNotWatched.load() != 0) return 1;
    platform::SerialPort* port = Port();
    std::uint32_t status = port != nullptr ? port->ModemStatus() : 0;
    return (status & bit) != 0 ? 1 : 0;
}

void WriteRtsState(std::uint32_t value) {
    WriteCell(MutexRtsState, Cells().rtsState, value);
}

}  // namespace

std::uint32_t RsOpenPort(std::int32_t baudCode, std::int32_t portNumber) {
    if (baudCode < 0 || baudCode > 6) return PortBadBaud;
    RsClosePort();  // never leave an earlier port open behind the new one
    platform::SerialPort* port = nullptr;
    std::uint32_t status = platform::OpenSerialPort(baudCode, portNumber, &port);
    Cells().port.store(port);
    ORV_TRACE("serial open COM%d baud code %d: status %u%s", portNumber, baudCode, status,
              port != nullptr ? "" : " (not opened)");
    return status;
}

std::uint32_t RsConnect(std::int32_t lineMode, std::int32_t baudCode, std::int32_t portNumber) {
    SerialCells& c = Cells();
    platform::SleepMs(1000);
    // A cancel left from earlier must not stop the new connection.
    SetCancelRequest(0);
    std::uint32_t status = RsOpenPort(baudCode, portNumber);
    if (status != 0) return status;
    RsSetTimer(TimerProtocol, kDsrWaitTicks);
    platform::SleepMs(1000);
    RsRaiseDtr();

    bool connected = false;
    for (;;) {
        if (RsTimerRunning(TimerProtocol) == 0) break;
        if (RsDsrOn() == 1) {
            connected = true;
            break;
        }
        if (GetCancelRequest() != 0) break;
        platform::SleepMs(kLinePollMs);
    }
    if (!connected) {
        RsDropDtr();
        RsSetLineStatus(LineDown);
        std::uint32_t cancel = GetCancelRequest();
        ORV_TRACE("serial connect failed: %s", cancel != 0 ? "cancelled" : "no DSR");
        return cancel != 0 ? cancel : static_cast<std::uint32_t>(LinkNoAnswer);
    }

    RsSetTimer(TimerCarrierWatch, kCarrierWatchTicks);
    SetLineMode(static_cast<std::uint32_t>(lineMode));
    if (lineMode != 0) RsRaiseRts();
    RsSetLineStatus(0);
    c.switchedRts = lineMode == 0 ? 1u : 0u;
    ORV_TRACE("serial connected, line mode %d%s", lineMode,
              c.linesNotWatched.load() != 0 ? ", lines not watched" : "");
    platform::SleepMs(100);
    return 0;
}

void RsDisconnect() {
    platform::SleepMs(100);
    RsDropRts();
    RsDropDtr();
    RsSetLineStatus(LineDown);
    platform::SleepMs(1000);
}

void RsClosePort() {
    SerialCells& c = Cells();
    platform::LocalLock guard(c.portLock);
    platform::SerialPort* port = c.port.exchange(nullptr);
    if (port != nullptr) {
        delete port;
        ORV_TRACE("serial port closed");
    }
}

bool RsPortOpen() {
    return Port() != nullptr;
}

void RsRaiseDtr() {
    if (platform::SerialPort* port = Port()) port->SetDtr(true);
    ORV_TRACE("serial DTR on");
}

void RsDropDtr() {
    if (platform::SerialPort* port = Port()) port->SetDtr(false);
    ORV_TRACE("serial DTR off");
}

void RsRaiseRts() {
    if (platform::SerialPort* port = Port()) port->SetRts(true);
    WriteRtsState(1);
    ORV_TRACE("serial RTS on");
}

void RsDropRts() {
    if (platform::SerialPort* port = Port()) port->SetRts(false);
    WriteRtsState(0);
    ORV_TRACE("serial RTS off");
}

std::int32_t RsDsrOn() {
    return TestLine(platform::ModemDsrOn);
}

std::int32_t RsCarrierOn() {
    return TestLine(platform::ModemRlsdOn);
}

std::int32_t RsCtsOn() {
    return TestLine(platform::ModemCtsOn);
}

std::int32_t RsRtsRaised() {
    if (Cells().linesNotWatched.load() != 0) return 1;
    return ReadCell(MutexRtsState, Cells().rtsState) != 0 ? 1 : 0;
}

void RsPurgeInput() {
    if (platform::SerialPort* port = Port()) port->PurgeInput();
    ORV_TRACE("serial input purged");
}

}  // namespace orv::serial
