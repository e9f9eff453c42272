// The network link as the export frame sees it: Ol_Open_MWS with its address
// and timing cells, the network close, and the link's cells.
#include <cstdio>
#include <cstring>

#include "api/library.h"
#include "api/link.h"
#include "api/trace.h"
#include "net/net_block.h"
#include "net/net_cells.h"
#include "net/net_transfer.h"
#include "platform/socket.h"

namespace orv::net {

NetCells& Net() {
    static NetCells cells;
    return cells;
}

void ResetCells() {
    NetCells& net = Net();
    platform::SocketClose(net.socket);
    for (; net.startups != 0; --net.startups) platform::SocketCleanup();
    net = NetCells{};
}

namespace {

// Reads an IPv4 address written as four decimal numbers 0-255 separated by
// dots ("192.168.001.010"), the whole text and nothing else. False for
// anything else, a null text included.
bool ParseDotted(const char* text, unsigned numbers[4]) {
    if (text == nullptr) return false;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return false;
            ++p;
        }
        if (*p < '0' || *p > '9') return false;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10u + static_cast<unsigned>(*p - '0');
            if (value > 255u) return false;
            ++p;
        }
        numbers[i] = value;
    }
    return *p == '\0';
}

void PrintDotted(char* out, const unsigned numbers[4]) {
    std::snprintf(out, kAddressTextMax + 1, "%u.%u.%u.%u", numbers[0], numbers[1], numbers[2],
                  numbers[3]);
}

// StartNetworkLink cannot fail.
std::uint32_t Start() {
    SetState(StateNetworkStarted);
    SetCancelRequest(0);
    return 0;
}

// Ol_Open_MWS from its step 4: take the record, set the address and timing
// cells, start the sockets service and connect. Every failure is 35.
std::uint32_t Connect(const void* record) {
    const auto* open = static_cast<const NetworkOpenRecord*>(record);
    NetCells& net = Net();
    net.recordRegister = open->registerAddress;
    net.recordTerminal = open->terminalAddress;
    net.recordPort = open->port;

    unsigned terminal[4];
    unsigned reg[4];
    if (!ParseDotted(open->terminalAddress, terminal) || !ParseDotted(open->registerAddress, reg)) {
        ORV_TRACE("Ol_Open_MWS: an address is not four numbers 0-255");
        return OL_NO_LINK;
    }
    net.port = static_cast<std::uint16_t>(open->port & 0xFFFFu);
    net.terminalNumber = terminal[3];
    net.receiveTimeout = kDefaultReceiveTimeout;
    net.sendRetries = kDefaultSendRetries;
    net.sendRetryWait = kDefaultSendRetryWait;
    PrintDotted(net.registerAddress, reg);
    PrintDotted(net.terminalAddress, terminal);
    net.recordRegister = net.registerAddress;
    net.recordTerminal = net.terminalAddress;
    ORV_TRACE("Ol_Open_MWS: register %s port %u, terminal %s", net.registerAddress, net.port,
              net.terminalAddress);

    if (NetStartup() != 0) return OL_NO_LINK;
    std::uint32_t rc = NetOpenLink();
    if (rc != 0) {
        ORV_TRACE("Ol_Open_MWS: connect failed (%u)", rc);
        return OL_NO_LINK;
    }
    return OL_OK;
}

std::uint32_t Close() {
    if (!HasState(StateNetworkStarted)) return OL_BAD_STATE;
    NetCloseLink();
    ClearState(StateNetworkStarted);
    return OL_OK;
}

// Ol_Initialize clears the copy of the open record.
void ClearRecord() {
    NetCells& net = Net();
    net.recordRegister = nullptr;
    net.recordTerminal = nullptr;
    net.recordPort = 0;
}

// Ol_End, after the close: a failed open may have left a socket and starts of
// the sockets service behind.
void End() {
    NetCells& net = Net();
    platform::SocketClose(net.socket);
    net.socket = nullptr;
    for (; net.startups != 0; --net.startups) platform::SocketCleanup();
}

}  // namespace

}  // namespace orv::net

namespace orv {

const LinkDriver kNetworkLink = {
    .kind = LinkNetwork,
    .startedBit = StateNetworkStarted,
    .start = net::Start,
    .connect = net::Connect,
    .close = net::Close,
    .write = net::WriteFile,
    .read = net::ReadFile,
    .writeRead = net::WriteRead,
    .echoBack = nullptr,
    .clearRecord = net::ClearRecord,
    .end = net::End,
    .resetCells = net::ResetCells,
};

}  // namespace orv
