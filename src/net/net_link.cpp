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

// Reads one number as the %d conversion of scanf does: white space first,
// then an optional sign and at least one decimal digit. False when there is no
// number, or when it does not fit in an int.
bool ScanNumber(const char*& p, int* value) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > 2147483648LL) return false;
    }
    const long long v = negative ? -magnitude : magnitude;
    if (v > 2147483647LL) return false;
    *value = static_cast<int>(v);
    return true;
}

// Reads four numbers as "%d.%d.%d.%d" does: each may be led by white space
// and a sign, the dots must follow the numbers at once, and whatever follows
// the fourth number is ignored ("127.0.0.1\n" is 127.0.0.1). False when the
// text is null or does not hold four numbers so.
bool ScanDotted(const char* text, int numbers[4]) {
    if (text == nullptr) return false;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return false;
        if (!ScanNumber(p, &numbers[i])) return false;
    }
    return true;
}

// The register is connected to: each of its numbers must be 0-255.
bool IsAddress(const int numbers[4]) {
    for (int i = 0; i < 4; ++i) {
        if (numbers[i] < 0 || numbers[i] > 255) return false;
    }
    return true;
}

void PrintDotted(char* out, const int numbers[4]) {
    std::snprintf(out, kAddressTextMax + 1, "%d.%d.%d.%d", numbers[0], numbers[1], numbers[2],
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

    int terminal[4];
    int reg[4];
    if (!ScanDotted(open->terminalAddress, terminal) || !ScanDotted(open->registerAddress, reg)) {
        ORV_TRACE("Ol_Open_MWS: an address does not read as four dotted numbers");
        return OL_NO_LINK;
    }
    if (!IsAddress(reg)) {
        ORV_TRACE("Ol_Open_MWS: the register address is not an IPv4 address");
        return OL_NO_LINK;
    }
    net.port = static_cast<std::uint16_t>(open->port & 0xFFFFu);
    // Only its low 8 bits go into the blocks.
    net.terminalNumber = static_cast<std::uint32_t>(terminal[3]);
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
