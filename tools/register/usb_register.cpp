#include "usb_register.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "register/poll_wait.h"

namespace orv::reg {

namespace {

// 1 when fd has something (data, an empty message or the close), 0 at the
// deadline, -1 on failure.
int WaitReadable(int fd, int timeoutMs) {
    return WaitPoll(fd, POLLIN | POLLRDHUP, MonotonicMs() + timeoutMs);
}

}  // namespace

const char* UsbStatusName(UsbStatus status) {
    switch (status) {
        case UsbStatus::Ok:
            return "ok";
        case UsbStatus::TimedOut:
            return "timed out";
        case UsbStatus::Closed:
            return "closed";
        case UsbStatus::BadTransfer:
            return "bad transfer";
        case UsbStatus::NotConnected:
            return "not connected";
    }
    return "?";
}

UsbRegister::UsbRegister() = default;

UsbRegister::~UsbRegister() {
    Disconnect();
    StopListening();
}

bool UsbRegister::Listen(const std::string& path) {
    StopListening();
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof at.sun_path) return false;
    std::memcpy(at.sun_path, path.c_str(), path.size() + 1);
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        // A socket someone still listens on is theirs; only a dead one is
        // replaced.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool live =
            probe >= 0 && (connect(probe, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 ||
                           errno == EAGAIN);
        if (probe >= 0) close(probe);
        if (live) {
            close(listen_);
            listen_ = -1;
            errno = EADDRINUSE;
            return false;
        }
        unlink(path.c_str());
    }
    // Created private to the user from the start.
    const mode_t old = umask(077);
    const int bound = bind(listen_, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    umask(old);
    if (bound != 0 || listen(listen_, 2) != 0) {
        close(listen_);
        listen_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

bool UsbRegister::Accept(int timeoutMs) {
    if (listen_ < 0 || WaitReadable(listen_, timeoutMs) != 1) return false;
    Disconnect();
    conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
}

void UsbRegister::StopListening() {
    if (listen_ < 0) return;
    close(listen_);
    listen_ = -1;
    unlink(path_.c_str());
}

UsbStatus UsbRegister::Receive(UsbPacket* packet, int timeoutMs) {
    last_.clear();
    if (conn_ < 0) return UsbStatus::NotConnected;
    const int ready = WaitReadable(conn_, timeoutMs);
    if (ready == 0) return UsbStatus::TimedOut;
    if (ready < 0) return UsbStatus::Closed;
    std::uint8_t buf[kUsbTransfer + 1];
    const ssize_t n = recv(conn_, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
        // The host sends no empty transfers: 0 is its close.
        return n == 0 || (errno != EAGAIN && errno != EINTR) ? UsbStatus::Closed
                                                             : UsbStatus::TimedOut;
    }
    last_.assign(buf, buf + n);
    if (n != static_cast<ssize_t>(kUsbTransfer)) return UsbStatus::BadTransfer;
    const std::size_t length = (std::size_t{buf[0]} << 8) | buf[1];
    if (length < kUsbHeader || length > kUsbTransfer - 2) return UsbStatus::BadTransfer;
    std::memcpy(packet->header.data(), buf + 2, kUsbHeader);
    packet->kind = buf[4];
    packet->data.assign(buf + 2 + kUsbHeader, buf + 2 + length);
    return UsbStatus::Ok;
}

bool UsbRegister::Silent(int timeoutMs) {
    return conn_ >= 0 && WaitReadable(conn_, timeoutMs) == 0;
}

bool UsbRegister::Send(std::uint8_t kind, const std::vector<std::uint8_t>& data) {
    if (data.size() > kUsbTransfer - 2 - kUsbHeader) return false;
    std::uint8_t buf[kUsbTransfer] = {};
    const std::size_t length = kUsbHeader + data.size();
    buf[0] = static_cast<std::uint8_t>(length >> 8);
    buf[1] = static_cast<std::uint8_t>(length & 0xFF);
    std::memcpy(buf + 2, header.data(), kUsbHeader);
    buf[4] = kind;
    buf[5] = 0;
    if (!data.empty()) std::memcpy(buf + 2 + kUsbHeader, data.data(), data.size());
    return SendRaw(buf, sizeof buf);
}

bool UsbRegister::SendEmpty() {
    return SendRaw(nullptr, 0);
}

bool UsbRegister::SendWithLength(std::uint16_t length, std::uint8_t kind) {
    std::uint8_t buf[kUsbTransfer] = {};
    buf[0] = static_cast<std::uint8_t>(length >> 8);
    buf[1] = static_cast<std::uint8_t>(length & 0xFF);
    buf[4] = kind;
    return SendRaw(buf, sizeof buf);
}

// A host that stops reading makes a send fail after a second rather than
// block the register for ever.
bool UsbRegister::SendRaw(const void* bytes, std::size_t count) {
    if (conn_ < 0) return false;
    pollfd p{};
    p.fd = conn_;
    p.events = POLLOUT;
    if (poll(&p, 1, 1000) != 1 || (p.revents & POLLOUT) == 0) return false;
    return send(conn_, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(count);
}

void UsbRegister::Disconnect() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
}

}  // namespace orv::reg
