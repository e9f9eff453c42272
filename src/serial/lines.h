// The serial port and its modem lines: open and configure the port, bring the
// link up and down, switch DTR and RTS, test DSR, carrier and CTS.
#pragma once

#include <cstdint>

namespace orv::serial {

// Statuses of the port's open, as RsConnect passes them up.
enum PortStatus : std::uint32_t {
    PortBadBaud = 70,      // baud code outside 0..6; nothing opened
    PortOpenFailed = 71,   // the device did not open, or reports no properties
    PortNotSettable = 72,  // none of the port's parameters can be set
};

// Opens COM port portNumber at baud code 0..6 and stores it as the port: 0, 70,
// 71 or 72. On 71 or 72 after the device opened, the port stays open.
std::uint32_t RsOpenPort(std::int32_t baudCode, std::int32_t portNumber);

// Opens the port, raises DTR and waits up to 300 ticks for DSR: 0 when the link
// is up; else 70, 71, 72, 2 (no DSR) or 0x1000 (cancelled), with DTR dropped
// and the line down (the port left open when it opened). lineMode 0 switches
// RTS around each transmission; any other value holds RTS raised.
std::uint32_t RsConnect(std::int32_t lineMode, std::int32_t baudCode, std::int32_t portNumber);

// Drops RTS and DTR and marks the line down; the port stays open.
void RsDisconnect();

// Closes the port, if one is open (the supervisor may be ticking).
void RsClosePort();
bool RsPortOpen();

void RsRaiseDtr();
void RsDropDtr();
// These also record the RTS state that the carrier watch reads.
void RsRaiseRts();
void RsDropRts();

// Line tests: 1 when the line is on. Each asks the port afresh (a failed query
// reads as off); all report 1 while the lines are not watched.
std::int32_t RsDsrOn();
std::int32_t RsCarrierOn();
std::int32_t RsCtsOn();
// 1 while the library holds RTS raised (1 also while the lines are not watched).
std::int32_t RsRtsRaised();

// Discards the port's unread input.
void RsPurgeInput();

}  // namespace orv::serial
