// POSIX TCP sockets: BSD sockets with poll standing in for Winsock's event
// selection.
//
// poll reports readiness for as long as it lasts, where Winsock records an
// event once. The emulation keeps Winsock's shape where the link depends on
// it: the write event is owed only right after the connect and after a send
// that met EAGAIN (so a wait does not return at once for ever because the
// socket is writable), and the peer's close, once seen, is reported by every
// later wait (so a wait after a close never sits out its whole time limit).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/socket.h"

namespace orv::platform {

struct TcpSocket {
    int fd = -1;
    bool selected = false;    // events selected: non-blocking, emulated event on
    bool writeOwed = false;   // the write event is to be reported once writable
    bool peerClosed = false;  // the end of the stream was seen
};

namespace {

int g_lastError = 0;

void NoteError() {
    g_lastError = errno;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        NoteError();
        return false;
    }
    return true;
}

int ToPollTimeout(std::uint32_t realMs) {
    constexpr std::uint32_t kMax = 0x7FFFFFFF;
    return static_cast<int>(realMs > kMax ? kMax : realMs);
}

// poll that resumes after a signal with the time that is left, measured
// coarsely: an interrupted wait simply starts its slice again.
int PollOne(int fd, short events, std::uint32_t realMs, short* revents) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    for (;;) {
        int r = poll(&p, 1, ToPollTimeout(realMs));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) NoteError();
        *revents = (r > 0) ? p.revents : 0;
        return r;
    }
}

short WantedEvents(const TcpSocket* s) {
    return static_cast<short>(POLLIN | (s->writeOwed ? POLLOUT : 0));
}

}  // namespace

bool SocketStartup() {
    return true;
}

void SocketCleanup() {}

bool SocketResolve(const char* host, std::uint32_t* address) {
    if (host == nullptr || *host == '\0') return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        g_lastError = rc;
        return false;
    }
    bool ok = false;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in{};
            std::memcpy(&in, a->ai_addr, sizeof in);
            *address = in.sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

TcpSocket* SocketCreate() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        NoteError();
        return nullptr;
    }
    auto* s = new (std::nothrow) TcpSocket{};
    if (s == nullptr) {
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    return s;
}

ConnectState SocketConnectStart(TcpSocket* socket, std::uint32_t address, std::uint16_t port) {
    if (socket == nullptr || !SetNonBlocking(socket->fd)) return ConnectState::Failed;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    int r;
    do {
        r = connect(socket->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return ConnectState::Connected;
    if (errno == EINPROGRESS) return ConnectState::InProgress;
    NoteError();
    return ConnectState::Failed;
}

ConnectState SocketConnectWait(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr) return ConnectState::Failed;
    short revents = 0;
    int r = PollOne(socket->fd, POLLOUT, realMs, &revents);
    if (r < 0) return ConnectState::Failed;
    if (r == 0) return ConnectState::InProgress;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        NoteError();
        return ConnectState::Failed;
    }
    if (error != 0) {
        g_lastError = error;
        return ConnectState::Failed;
    }
    return ConnectState::Connected;
}

bool SocketSelectEvents(TcpSocket* socket) {
    if (socket == nullptr || !SetNonBlocking(socket->fd)) return false;
    socket->selected = true;
    // Like the event that Winsock records for a freshly connected socket.
    socket->writeOwed = true;
    return true;
}

int SocketSend(TcpSocket* socket, const std::uint8_t* bytes, int length, bool* wouldBlock) {
    *wouldBlock = false;
    if (socket == nullptr || length < 0) return -1;
    for (;;) {
        ssize_t r =
            send(socket->fd, bytes, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0 || (r == 0 && length == 0)) return static_cast<int>(r);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            // Room to write will be reported once there is some again.
            socket->writeOwed = true;
            *wouldBlock = true;
            g_lastError = EAGAIN;
        } else {
            NoteError();
        }
        return -1;
    }
}

int SocketReceive(TcpSocket* socket, std::uint8_t* buffer, int length) {
    if (socket == nullptr || length < 0) return -1;
    for (;;) {
        ssize_t r = recv(socket->fd, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 && length > 0) socket->peerClosed = true;
        if (r < 0) NoteError();
        return static_cast<int>(r);
    }
}

SocketWaitResult SocketWaitEvent(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr || !socket->selected) return SocketWaitResult::Failed;
    if (socket->peerClosed) return SocketWaitResult::Signalled;
    short revents = 0;
    int r = PollOne(socket->fd, WantedEvents(socket), realMs, &revents);
    if (r < 0) return SocketWaitResult::Failed;
    if (r == 0) return SocketWaitResult::TimedOut;
    // POLLOUT is asked for only while the write event is owed.
    return SocketWaitResult::Signalled;
}

SocketWaitResult SocketWaitWritable(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr) return SocketWaitResult::Failed;
    short revents = 0;
    // poll adds POLLERR and POLLHUP by itself: the next send then fails
    // with the error rather than a full buffer.
    int r = PollOne(socket->fd, POLLOUT, realMs, &revents);
    if (r < 0) return SocketWaitResult::Failed;
    return r == 0 ? SocketWaitResult::TimedOut : SocketWaitResult::Signalled;
}

bool SocketTakeEvents(TcpSocket* socket, std::uint32_t* events) {
    *events = 0;
    if (socket == nullptr || !socket->selected) return false;
    if (socket->peerClosed) {
        *events = EventClose;
        return true;
    }
    short revents = 0;
    if (PollOne(socket->fd, WantedEvents(socket), 0, &revents) < 0) return false;
    if ((revents & POLLOUT) != 0 && socket->writeOwed) {
        socket->writeOwed = false;
        *events |= EventWrite;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // Readable means data, or the end of the stream, or an error: a peek
        // tells which, as Winsock tells FD_READ from FD_CLOSE.
        std::uint8_t byte = 0;
        ssize_t r;
        do {
            r = recv(socket->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        } while (r < 0 && errno == EINTR);
        if (r > 0) {
            *events |= EventRead;
        } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (r < 0) NoteError();
            socket->peerClosed = true;
            *events |= EventClose;
        }
    }
    return true;
}

void SocketClose(TcpSocket* socket) {
    if (socket == nullptr) return;
    if (socket->fd >= 0) {
        shutdown(socket->fd, SHUT_RDWR);
        close(socket->fd);
    }
    delete socket;
}

std::uint32_t SocketLastError() {
    return static_cast<std::uint32_t>(g_lastError);
}

}  // namespace orv::platform
