#include "tcp_register.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "register/poll_wait.h"

namespace orv::reg {

const char* TcpStatusName(TcpStatus status) {
    switch (status) {
        case TcpStatus::Ok:
            return "ok";
        case TcpStatus::TimedOut:
            return "timed out";
        case TcpStatus::Closed:
            return "closed";
        case TcpStatus::BadChecksum:
            return "bad checksum";
        case TcpStatus::BadLength:
            return "bad length";
        case TcpStatus::NotConnected:
            return "not connected";
    }
    return "?";
}

std::string HexOf(const std::uint8_t* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

TcpRegister::TcpRegister() = default;

TcpRegister::~TcpRegister() {
    CloseConnection();
    StopListening();
}

bool TcpRegister::Listen(std::uint16_t port, int receiveBuffer) {
    StopListening();
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return false;
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) {
        // Set on the listener so that the accepted socket has it from its
        // first segment on (the window is fixed at the handshake).
        setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        listen(listen_, 4) != 0) {
        StopListening();
        return false;
    }
    socklen_t size = sizeof at;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &size);
    port_ = ntohs(at.sin_port);
    return true;
}

bool TcpRegister::Accept(int timeoutMs) {
    if (listen_ < 0) return false;
    if (WaitPoll(listen_, POLLIN, MonotonicMs() + timeoutMs) != 1) return false;
    CloseConnection();
    conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
}

void TcpRegister::StopListening() {
    if (listen_ >= 0) close(listen_);
    listen_ = -1;
}

std::uint8_t TcpRegister::Checksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

std::vector<std::uint8_t> TcpRegister::Frame(const TcpBlock& block) {
    std::size_t length = 4 + block.data.size();
    std::vector<std::uint8_t> frame;
    frame.reserve(length + 3);
    frame.push_back(static_cast<std::uint8_t>((length >> 8) & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
    frame.push_back(block.terminal);
    frame.push_back(block.sequence);
    frame.push_back(block.type);
    frame.push_back(block.code);
    frame.insert(frame.end(), block.data.begin(), block.data.end());
    frame.push_back(Checksum(frame.data(), frame.size()));
    return frame;
}

TcpStatus TcpRegister::Fill(std::size_t total, long long deadline) {
    if (conn_ < 0) return TcpStatus::NotConnected;
    while (lastFrame_.size() < total) {
        int w = WaitPoll(conn_, POLLIN, deadline);
        if (w == 0) return TcpStatus::TimedOut;
        if (w < 0) return TcpStatus::Closed;
        std::uint8_t chunk[4096];
        ssize_t r = recv(conn_, chunk, std::min(sizeof chunk, total - lastFrame_.size()), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return TcpStatus::Closed;
        lastFrame_.insert(lastFrame_.end(), chunk, chunk + r);
    }
    return TcpStatus::Ok;
}

TcpStatus TcpRegister::Receive(TcpBlock* block, int timeoutMs) {
    // A frame cut by the time limit is kept, and the next call goes on with
    // it: a byte stream has no other frame boundaries.
    if (!partial_) lastFrame_.clear();
    const long long deadline = MonotonicMs() + timeoutMs;
    TcpStatus s = Fill(2, deadline);
    std::size_t length = 0;
    if (s == TcpStatus::Ok) {
        length = (static_cast<std::size_t>(lastFrame_[0]) << 8) | lastFrame_[1];
        s = length < 4 ? TcpStatus::BadLength : Fill(2 + length + 1, deadline);
    }
    partial_ = s == TcpStatus::TimedOut;
    if (s != TcpStatus::Ok) return s;
    block->terminal = lastFrame_[2];
    block->sequence = lastFrame_[3];
    block->type = lastFrame_[4];
    block->code = lastFrame_[5];
    block->data.assign(lastFrame_.begin() + 6,
                       lastFrame_.begin() + static_cast<std::ptrdiff_t>(2 + length));
    if (Checksum(lastFrame_.data(), lastFrame_.size() - 1) != lastFrame_.back()) {
        return TcpStatus::BadChecksum;
    }
    return TcpStatus::Ok;
}

bool TcpRegister::Silent(int timeoutMs) {
    if (conn_ < 0) return false;
    return WaitPoll(conn_, POLLIN, MonotonicMs() + timeoutMs) == 0;
}

bool TcpRegister::SendRaw(const void* bytes, std::size_t count) {
    if (conn_ < 0) return false;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::size_t sent = 0;
    while (sent < count) {
        ssize_t r = send(conn_, p + sent, count - sent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

bool TcpRegister::Send(const TcpBlock& block) {
    std::vector<std::uint8_t> frame = Frame(block);
    return SendRaw(frame.data(), frame.size());
}

bool TcpRegister::Send(std::uint8_t sequence, std::uint8_t type,
                       const std::vector<std::uint8_t>& data, std::uint8_t code) {
    TcpBlock block;
    block.terminal = terminal;
    block.sequence = sequence;
    block.type = type;
    block.code = code;
    block.data = data;
    return Send(block);
}

bool TcpRegister::SendWithChecksum(const TcpBlock& block, std::uint8_t checksum) {
    std::vector<std::uint8_t> frame = Frame(block);
    frame.back() = checksum;
    return SendRaw(frame.data(), frame.size());
}

bool TcpRegister::Refuse(std::uint8_t sequence) {
    return Send(sequence, kTcpRefusal, {});
}

void TcpRegister::CloseConnection() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
    lastFrame_.clear();
    partial_ = false;
}

void TcpRegister::ResetConnection() {
    if (conn_ < 0) return;
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    setsockopt(conn_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseConnection();
}

}  // namespace orv::reg
