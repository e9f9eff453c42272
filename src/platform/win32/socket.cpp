// Windows TCP sockets: Winsock 2 with an event object selected for
// FD_READ | FD_WRITE | FD_CLOSE.
//
// Winsock records FD_CLOSE once. The link may take it where it is not looking
// for it (the drain before a send, the wait for one piece of a block), and a
// later receive would then wait out its whole limit. So the close, once seen,
// is remembered, as on POSIX: every later wait reports it at once, together
// with FD_READ while received bytes are still unread.
#include <winsock2.h>  // brings <windows.h> after it, in the order it needs

#include <cstring>
#include <new>

#include "platform/socket.h"

namespace orv::platform {

struct TcpSocket {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;
    bool peerClosed = false;  // FD_CLOSE was reported, or a receive met the end
};

namespace {

std::uint32_t g_lastError = 0;

void NoteError() {
    g_lastError = static_cast<std::uint32_t>(WSAGetLastError());
}

// Waits up to realMs for s to be writable or failed (a connect that ends shows
// as one of the two): select's result, with s in *failed when it failed.
int SelectWritable(SOCKET s, std::uint32_t realMs, fd_set* failed) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_ZERO(failed);
    FD_SET(s, &writable);
    FD_SET(s, failed);
    timeval limit{};
    limit.tv_sec = static_cast<long>(realMs / 1000u);
    limit.tv_usec = static_cast<long>((realMs % 1000u) * 1000u);
    const int r = select(0, nullptr, &writable, failed, &limit);
    if (r == SOCKET_ERROR) NoteError();
    return r;
}

}  // namespace

bool SocketStartup() {
    WSADATA data{};
    int rc = WSAStartup(0x0002, &data);
    if (rc != 0) {
        g_lastError = static_cast<std::uint32_t>(rc);
        return false;
    }
    if (data.wVersion != 0x0002) {
        WSACleanup();
        g_lastError = data.wVersion;
        return false;
    }
    return true;
}

void SocketCleanup() {
    WSACleanup();
}

bool SocketResolve(const char* host, std::uint32_t* address) {
    if (host == nullptr || *host == '\0') return false;
    hostent* found = gethostbyname(host);
    if (found == nullptr) {
        NoteError();
        return false;
    }
    if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
        found->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(address, found->h_addr_list[0], 4);
    return true;
}

TcpSocket* SocketCreate() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        NoteError();
        return nullptr;
    }
    auto* object = new (std::nothrow) TcpSocket{};
    if (object == nullptr) {
        closesocket(s);
        return nullptr;
    }
    object->socket = s;
    return object;
}

ConnectState SocketConnectStart(TcpSocket* socket, std::uint32_t address, std::uint16_t port) {
    if (socket == nullptr) return ConnectState::Failed;
    u_long nonBlocking = 1;
    if (ioctlsocket(socket->socket, static_cast<long>(FIONBIO), &nonBlocking) != 0) {
        NoteError();
        return ConnectState::Failed;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (connect(socket->socket, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        return ConnectState::Connected;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) return ConnectState::InProgress;
    g_lastError = static_cast<std::uint32_t>(error);
    return ConnectState::Failed;
}

ConnectState SocketConnectWait(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr) return ConnectState::Failed;
    fd_set failed;
    const int r = SelectWritable(socket->socket, realMs, &failed);
    if (r == SOCKET_ERROR) return ConnectState::Failed;
    if (r == 0) return ConnectState::InProgress;
    int error = 0;
    int size = sizeof error;
    getsockopt(socket->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    if (FD_ISSET(socket->socket, &failed) || error != 0) {
        g_lastError = static_cast<std::uint32_t>(error);
        return ConnectState::Failed;
    }
    return ConnectState::Connected;
}

bool SocketSelectEvents(TcpSocket* socket) {
    if (socket == nullptr) return false;
    socket->event = WSACreateEvent();
    if (socket->event == WSA_INVALID_EVENT) {
        NoteError();
        return false;
    }
    if (WSAEventSelect(socket->socket, socket->event, FD_READ | FD_WRITE | FD_CLOSE) ==
        SOCKET_ERROR) {
        NoteError();
        return false;
    }
    return true;
}

int SocketSend(TcpSocket* socket, const std::uint8_t* bytes, int length, bool* wouldBlock) {
    *wouldBlock = false;
    if (socket == nullptr) return -1;
    int r = send(socket->socket, reinterpret_cast<const char*>(bytes), length, 0);
    if (r == SOCKET_ERROR) {
        NoteError();
        *wouldBlock = g_lastError == WSAEWOULDBLOCK;
        return -1;
    }
    return r;
}

int SocketReceive(TcpSocket* socket, std::uint8_t* buffer, int length) {
    if (socket == nullptr) return -1;
    int r = recv(socket->socket, reinterpret_cast<char*>(buffer), length, 0);
    if (r == SOCKET_ERROR) {
        NoteError();
        return -1;
    }
    if (r == 0 && length > 0) socket->peerClosed = true;
    return r;
}

SocketWaitResult SocketWaitWritable(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr) return SocketWaitResult::Failed;
    // select asks the socket itself and leaves the recorded events alone: a
    // wait on the event would also end for incoming data or a close.
    fd_set failed;
    const int r = SelectWritable(socket->socket, realMs, &failed);
    if (r == SOCKET_ERROR) return SocketWaitResult::Failed;
    return r == 0 ? SocketWaitResult::TimedOut : SocketWaitResult::Signalled;
}

SocketWaitResult SocketWaitEvent(TcpSocket* socket, std::uint32_t realMs) {
    if (socket == nullptr || socket->event == WSA_INVALID_EVENT) return SocketWaitResult::Failed;
    if (socket->peerClosed) return SocketWaitResult::Signalled;
    DWORD r = WSAWaitForMultipleEvents(1, &socket->event, FALSE, realMs, FALSE);
    if (r == WSA_WAIT_EVENT_0) return SocketWaitResult::Signalled;
    if (r == WSA_WAIT_TIMEOUT) return SocketWaitResult::TimedOut;
    NoteError();
    return SocketWaitResult::Failed;
}

bool SocketTakeEvents(TcpSocket* socket, std::uint32_t* events) {
    *events = 0;
    if (socket == nullptr || socket->event == WSA_INVALID_EVENT) return false;
    if (socket->peerClosed) {
        // Nothing new can be reported after the close; what is left to read
        // is.
        u_long unread = 0;
        if (ioctlsocket(socket->socket, static_cast<long>(FIONREAD), &unread) != 0) unread = 0;
        *events = EventClose | (unread > 0 ? EventRead : 0u);
        return true;
    }
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(socket->socket, socket->event, &happened) == SOCKET_ERROR) {
        NoteError();
        return false;
    }
    *events =
        static_cast<std::uint32_t>(happened.lNetworkEvents) & (EventRead | EventWrite | EventClose);
    if ((*events & EventClose) != 0) socket->peerClosed = true;
    return true;
}

void SocketClose(TcpSocket* socket) {
    if (socket == nullptr) return;
    if (socket->socket != INVALID_SOCKET) {
        shutdown(socket->socket, SD_BOTH);
        closesocket(socket->socket);
    }
    if (socket->event != WSA_INVALID_EVENT) WSACloseEvent(socket->event);
    delete socket;
}

std::uint32_t SocketLastError() {
    return g_lastError;
}

}  // namespace orv::platform
