// Connection and block exchange of the network link.
//
// A frame on the wire: L (2 bytes, high first) = data length + 4; L content
// bytes (the block header and the data); a checksum byte, the sum modulo 256
// of everything before it, the length bytes included.
//
// Every wait runs in slices of at most 1000 ms, each after a look at the
// cancel request, and each slice passes through RealWaitMs.
#include "net/net_block.h"

#include <cstring>

#include "api/library.h"
#include "api/trace.h"
#include "net/net_cells.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace orv::net {

namespace {

constexpr std::uint32_t kSliceMs = 1000;
constexpr std::uint32_t kDrainWaitMs = 10;

// Results of WaitReceive besides a byte count.
constexpr int kWaitClosed = -1;
constexpr int kWaitTimedOut = -2;
constexpr int kWaitCancelled = -3;

bool CancelPending() {
    return GetCancelRequest() != 0;
}

// Receives up to length bytes, waiting up to waitMs for the socket's event:
// the count received (0 when the peer has closed), or one of the kWait codes.
// The slices run to the end even when the event is signalled early (it stays
// signalled until its events are taken); the last slice's result counts. A
// wait that fails, or a wake-up for room to write, starts the whole wait again.
int WaitReceive(std::uint8_t* buffer, int length, std::int32_t waitMs) {
    platform::TcpSocket* socket = Net().socket;
    if (socket == nullptr) return kWaitClosed;
    // A time limit of 0 or less would never wait and never end: it times out.
    if (waitMs <= 0) return kWaitTimedOut;
    for (;;) {
        std::int32_t remaining = waitMs;
        platform::SocketWaitResult last = platform::SocketWaitResult::TimedOut;
        while (remaining > 0) {
            if (CancelPending()) return kWaitCancelled;
            auto slice = static_cast<std::uint32_t>(remaining);
            if (slice > kSliceMs) slice = kSliceMs;
            last = platform::SocketWaitEvent(socket, platform::RealWaitMs(slice));
            remaining -= static_cast<std::int32_t>(kSliceMs);
        }
        if (last == platform::SocketWaitResult::TimedOut) return kWaitTimedOut;
        if (last != platform::SocketWaitResult::Signalled) continue;
        std::uint32_t events = 0;
        if (!platform::SocketTakeEvents(socket, &events)) continue;
        if ((events & platform::EventRead) != 0) {
            int r = platform::SocketReceive(socket, buffer, length);
            return r < 0 ? kWaitClosed : r;
        }
        if ((events & platform::EventClose) != 0) return kWaitClosed;
        // Room to write only (or nothing at all): wait again.
    }
}

// A byte that the register sent unasked is read into byte 0 of the block
// record and lost; nothing there, a close or a time-out change nothing.
void DrainByte() {
    NetCells& net = Net();
    int r = WaitReceive(net.block, 1, static_cast<std::int32_t>(kDrainWaitMs));
    if (r > 0) ORV_TRACE("net drain: discarded byte %02X", net.block[0]);
}

// The pause between two attempts after a failed send, in slices that a cancel
// cuts short (the next attempt then sees it).
void PauseBetweenAttempts(std::uint32_t ms) {
    std::uint32_t remaining = ms;
    while (remaining != 0) {
        std::uint32_t slice = remaining > kSliceMs ? kSliceMs : remaining;
        platform::SleepMs(slice);
        remaining -= slice;
        if (remaining != 0 && CancelPending()) return;
    }
}

enum class Room { Ready, None, Cancelled };

// Waits up to ms, in slices, for room to write; only room ends the wait early
// (incoming data and a close do not), or a cancel. A wait that fails sits out
// the rest of its time, so that it cannot make the attempts spin.
Room WaitForRoom(std::uint32_t ms) {
    platform::TcpSocket* socket = Net().socket;
    std::uint32_t remaining = ms;
    while (remaining != 0) {
        if (CancelPending()) return Room::Cancelled;
        std::uint32_t slice = remaining > kSliceMs ? kSliceMs : remaining;
        platform::SocketWaitResult r =
            platform::SocketWaitWritable(socket, platform::RealWaitMs(slice));
        if (r == platform::SocketWaitResult::Signalled) return Room::Ready;
        if (r == platform::SocketWaitResult::Failed) {
            PauseBetweenAttempts(remaining);
            return CancelPending() ? Room::Cancelled : Room::None;
        }
        remaining -= slice;
    }
    return Room::None;
}

// Sends bytes *sent up to length of buffer in as many sends as it takes,
// advancing *sent by what went out: 0, 36, or 83 with *wouldBlock telling
// whether the send buffer was full.
std::uint32_t SendAll(const std::uint8_t* buffer, int length, int* sent, bool* wouldBlock) {
    *wouldBlock = false;
    while (*sent < length) {
        if (CancelPending()) return OL_CANCELLED;
        int r = platform::SocketSend(Net().socket, buffer + *sent, length - *sent, wouldBlock);
        if (r < 0) return CancelPending() ? std::uint32_t{OL_CANCELLED} : kSendFailed;
        *sent += r;
    }
    return OL_OK;
}

// Builds the frame of n content bytes and sends it, with up to NetSendRetries
// attempts. An attempt that meets a full send buffer waits up to
// NetSendRetryWait for room: when room comes, the next attempt is free, unless
// room had been reported before this attempt and it still sent nothing. Every
// attempt goes on from the first byte not yet sent, so that the register never
// gets part of a frame twice.
std::uint32_t SendFrame(const std::uint8_t* content, std::size_t n) {
    NetCells& net = Net();
    std::uint8_t* frame = net.sendFrame;
    std::memset(frame, 0, kBlockSize);
    std::size_t length = n + kBlockHeader;
    frame[0] = static_cast<std::uint8_t>(length >> 8);
    frame[1] = static_cast<std::uint8_t>(length & 0xFF);
    std::memcpy(frame + 2, content, length);
    unsigned sum = 0;
    for (std::size_t i = 0; i < length + 2; ++i) sum += frame[i];
    frame[length + 2] = static_cast<std::uint8_t>(sum & 0xFF);
    const int frameLength = static_cast<int>(length + 3);

    std::uint32_t attempts = net.sendRetries;
    int sent = 0;
    bool roomReported = false;
    while (attempts != 0) {
        if (CancelPending()) return OL_CANCELLED;
        const int before = sent;
        bool wouldBlock = false;
        std::uint32_t r = SendAll(frame, frameLength, &sent, &wouldBlock);
        if (r == OL_OK) {
            ORV_TRACE_HEX("net send", frame, static_cast<std::size_t>(frameLength));
            return OL_OK;
        }
        if (r == OL_CANCELLED) return r;
        ORV_TRACE("net send: attempt failed (%s, error %u) with %d of %d bytes sent, %u left",
                  wouldBlock ? "buffer full" : "send error", platform::SocketLastError(), sent,
                  frameLength, attempts);
        if (!wouldBlock) {
            if (--attempts == 0) return OL_SEND_FAILED;
            PauseBetweenAttempts(net.sendRetryWait);
            roomReported = false;
            continue;
        }
        bool counted = roomReported && sent == before;
        const Room room = WaitForRoom(net.sendRetryWait);
        if (room == Room::Cancelled) continue;
        roomReported = room == Room::Ready;
        if (room == Room::None) counted = true;
        if (counted && --attempts == 0) return OL_SEND_FAILED;
    }
    // No attempts at all: nothing is sent, and that counts as done.
    return OL_OK;
}

// Reads count bytes into buffer: 0, or a kWait code.
int ReadPiece(std::uint8_t* buffer, std::size_t count) {
    std::size_t in = 0;
    while (in < count) {
        if (CancelPending()) return kWaitCancelled;
        int r = WaitReceive(buffer + in, static_cast<int>(count - in),
                            static_cast<std::int32_t>(Net().receiveTimeout));
        if (r < 0) return r;
        in += static_cast<std::size_t>(r);
    }
    return 0;
}

std::uint32_t ReceiveFailure(int wait, std::uint32_t* contentLength) {
    *contentLength = 0;
    if (wait == kWaitCancelled) return OL_CANCELLED;
    if (wait == kWaitTimedOut) {
        ORV_TRACE("net recv: nothing within %d ms",
                  static_cast<std::int32_t>(Net().receiveTimeout));
        return OL_NO_ANSWER;
    }
    ORV_TRACE("net recv: connection closed or receive failed (error %u)",
              platform::SocketLastError());
    return OL_NET_CLOSED;
}

// Receives one frame and copies its content to out.
std::uint32_t ReceiveFrame(std::uint8_t* out, std::uint32_t* contentLength) {
    NetCells& net = Net();
    std::uint8_t* frame = net.receiveFrame;
    int r = ReadPiece(frame, 2);
    if (r != 0) return ReceiveFailure(r, contentLength);
    std::size_t length = (static_cast<std::size_t>(frame[0]) << 8) | frame[1];
    // The record holds one frame of at most 1460 bytes, and a block has at
    // least its 4 header bytes: any other length is a broken block.
    if (length > kMaxContent || length < kBlockHeader) {
        ORV_TRACE_HEX("net recv bad length", frame, 2);
        *contentLength = 0;
        return OL_NET_CLOSED;
    }
    r = ReadPiece(frame + 2, length + 1);
    if (r != 0) return ReceiveFailure(r, contentLength);
    unsigned sum = 0;
    for (std::size_t i = 0; i < length + 2; ++i) sum += frame[i];
    if ((sum & 0xFF) != frame[length + 2]) {
        ORV_TRACE_HEX("net recv bad checksum", frame, length + 3);
        *contentLength = 0;
        return OL_NET_CLOSED;
    }
    ORV_TRACE_HEX("net recv", frame, length + 3);
    std::memcpy(out, frame + 2, length);
    *contentLength = static_cast<std::uint32_t>(length);
    return OL_OK;
}

}  // namespace

std::uint32_t NetStartup() {
    if (!platform::SocketStartup()) {
        ORV_TRACE("net: sockets service not started (error %u)", platform::SocketLastError());
        return kStartupFailed;
    }
    ++Net().startups;
    return OL_OK;
}

std::uint32_t NetOpenLink() {
    SetCancelRequest(0);
    NetCells& net = Net();
    // A socket that a failed connect left behind is closed, not leaked.
    platform::SocketClose(net.socket);
    net.socket = nullptr;
    return NetConnect();
}

std::uint32_t NetConnect() {
    NetCells& net = Net();
    if (net.registerAddress[0] == '\0' || net.port == 0) return kConnectFailed;
    net.socket = platform::SocketCreate();
    if (net.socket == nullptr) {
        ORV_TRACE("net connect: no socket (error %u)", platform::SocketLastError());
        return kConnectFailed;
    }
    std::uint32_t address = 0;
    if (!platform::SocketResolve(net.registerAddress, &address)) {
        ORV_TRACE("net connect: no address for %s", net.registerAddress);
        return kConnectFailed;
    }
    if (CancelPending()) return OL_CANCELLED;

    platform::ConnectState state = platform::SocketConnectStart(net.socket, address, net.port);
    std::uint32_t waited = 0;
    while (state == platform::ConnectState::InProgress && waited < kConnectTimeLimit) {
        if (CancelPending()) break;
        std::uint32_t slice = kConnectTimeLimit - waited;
        if (slice > kSliceMs) slice = kSliceMs;
        state = platform::SocketConnectWait(net.socket, platform::RealWaitMs(slice));
        waited += slice;
    }
    if (state != platform::ConnectState::Connected) {
        bool cancelled = state == platform::ConnectState::InProgress && CancelPending();
        ORV_TRACE("net connect: %s:%u %s (error %u)", net.registerAddress, net.port,
                  cancelled ? "cancelled" : "failed", platform::SocketLastError());
        platform::SocketClose(net.socket);
        net.socket = nullptr;
        return cancelled ? std::uint32_t{OL_CANCELLED} : kConnectFailed;
    }
    if (!platform::SocketSelectEvents(net.socket)) {
        ORV_TRACE("net connect: event selection failed (error %u)", platform::SocketLastError());
        return kConnectFailed;
    }
    ORV_TRACE("net connect: connected to %s:%u", net.registerAddress, net.port);
    return OL_OK;
}

std::uint32_t NetCloseLink() {
    NetCells& net = Net();
    platform::SocketClose(net.socket);
    net.socket = nullptr;
    for (; net.startups != 0; --net.startups) platform::SocketCleanup();
    ORV_TRACE("net: link closed");
    return OL_OK;
}

std::uint32_t NetSendBlock(std::uint8_t continued, std::uint8_t blockType, std::uint8_t blockCode,
                           std::uint32_t dataLength) {
    NetCells& net = Net();
    DrainByte();
    std::uint8_t* block = net.block;
    block[kTerminalByte] = static_cast<std::uint8_t>(net.terminalNumber & 0xFF);
    block[kSequenceByte] =
        continued != 0 ? static_cast<std::uint8_t>(block[kSequenceByte] + 1) : std::uint8_t{0};
    block[kTypeByte] = blockType;
    block[kCodeByte] = blockCode;
    if (dataLength > kBlockData) dataLength = kBlockData;
    return SendFrame(block, dataLength);
}

std::uint32_t NetReceiveBlock(std::uint32_t* refused, std::uint32_t* contentLength) {
    if (CancelPending()) return OL_CANCELLED;
    NetCells& net = Net();
    std::uint32_t r = ReceiveFrame(net.block, contentLength);
    if (r != OL_OK) return r;
    if (net.block[kTypeByte] == kRefusalType) {
        *refused = 1;
        ORV_TRACE("net recv: refused by the register");
        return OL_NET_REFUSED;
    }
    *refused = 0;
    return OL_OK;
}

}  // namespace orv::net
