// TCP client sockets of the OS layer, with a readiness event in the manner of
// Winsock's event selection: once events are selected the socket is
// non-blocking, a wait reports that something happened, and taking the events
// tells what (data to read, room to write, the peer closed) and re-arms the
// wait.
//
// Windows uses Winsock 2 with WSAEventSelect. POSIX emulates it over poll: the
// write event is reported only right after the connect and after a send that
// found the buffer full, once room is there again. On both, once the peer's
// close has been seen, every later wait reports the close at once (with the
// read event while received bytes are still unread).
//
// Waits take real milliseconds: callers pass every protocol wait through
// RealWaitMs. Nothing here reads the library's cells.
#pragma once

#include <cstdint>

namespace orv::platform {

// A connection socket and, after SocketSelectEvents, its event. Opaque.
struct TcpSocket;

// Network event bits, with Winsock's values.
enum SocketEvents : std::uint32_t {
    EventRead = 0x01,
    EventWrite = 0x02,
    EventClose = 0x20,
};

enum class SocketWaitResult { Signalled, TimedOut, Failed };

enum class ConnectState { Connected, InProgress, Failed };

// Starts the sockets service asking for version 2.0: true when it is there and
// grants exactly 2.0 (a start that grants another version is undone). Each
// success is balanced by one SocketCleanup. POSIX: nothing to start.
bool SocketStartup();
void SocketCleanup();

// The first IPv4 address (network byte order) that a name lookup of host
// gives. False when the lookup yields none.
bool SocketResolve(const char* host, std::uint32_t* address);

// A new TCP socket; null on failure.
TcpSocket* SocketCreate();

// Starts a connect to address (network byte order) and port (host order)
// without blocking.
ConnectState SocketConnectStart(TcpSocket* socket, std::uint32_t address, std::uint16_t port);
// Waits up to realMs for a connect in progress to end.
ConnectState SocketConnectWait(TcpSocket* socket, std::uint32_t realMs);

// Creates the event and selects read, write and close events on it. False on
// failure (the socket and what was created stay with it until SocketClose).
bool SocketSelectEvents(TcpSocket* socket);

// Sends up to length bytes without blocking: bytes sent, or -1 with
// *wouldBlock telling whether the failure was a full send buffer. A closed
// peer never raises a signal.
int SocketSend(TcpSocket* socket, const std::uint8_t* bytes, int length, bool* wouldBlock);
// Receives up to length bytes: bytes received, 0 when the peer has closed,
// -1 on an error (also when nothing is there to read).
int SocketReceive(TcpSocket* socket, std::uint8_t* buffer, int length);

// Waits up to realMs for room to write: Signalled once a send can take bytes
// again (or would fail at once with an error other than a full buffer).
// Incoming data and the peer's close do not end it, and no event is taken.
SocketWaitResult SocketWaitWritable(TcpSocket* socket, std::uint32_t realMs);

// Waits up to realMs for the event. It stays signalled until SocketTakeEvents.
SocketWaitResult SocketWaitEvent(TcpSocket* socket, std::uint32_t realMs);
// The events recorded since the last call (SocketEvents bits); resets the
// event. False when they cannot be read.
bool SocketTakeEvents(TcpSocket* socket, std::uint32_t* events);

// Shuts the connection down both ways, closes the socket and its event and
// frees the object. Null is ignored.
void SocketClose(TcpSocket* socket);

// The OS error code of the last failed call here, for the trace.
std::uint32_t SocketLastError();

}  // namespace orv::platform
