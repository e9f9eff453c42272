// The network link's block receive path fed through a loopback connection:
// length fields, checksums, types and truncation of every block, and the
// register's close at any byte (it closes once everything is sent).
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags; then the
//   register's turns, each a 2-byte word (high first: bit 15 set = sent at
//   once, else once the library has sent something since the last turn and
//   paused for 3 ms; the rest modulo 1500 its length) and its bytes. The
//   library drains a byte that waits before each block it sends, so an
//   answer must come after it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include "fuzz_exchange.h"

namespace {

int g_listener = -1;
std::uint32_t g_port = 0;

// True once the library has sent something and then paused for 3 ms (it
// waits for an answer then); false when nothing came within the wait or the
// call is over.
bool LibraryWaits(int peer, const std::atomic<bool>& done) {
    int quiet = -1;  // empty slices since the last byte; -1 before the first
    for (int slice = 0; slice < 200 && !done.load(); ++slice) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0) {
            if (quiet >= 0 && ++quiet == 3) return true;
            continue;
        }
        std::uint8_t sink[4096];
        while (::recv(peer, sink, sizeof sink, MSG_DONTWAIT) > 0) quiet = 0;
    }
    return false;
}

// The register's side: each turn, then its close; what the library sends
// meanwhile is read and dropped.
void Play(int peer, orv::fuzz::Input& turns, const std::atomic<bool>& done) {
    while (turns.Left() > 0) {
        const std::uint32_t word = turns.Word();
        const std::string bytes = turns.Take((word & 0x7FFF) % 1500);
        if ((word & 0x8000) == 0 && !LibraryWaits(peer, done)) break;
        if (::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
    }
    ::shutdown(peer, SHUT_WR);
    std::uint8_t sink[4096];
    while (!done.load()) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, 1) > 0 && ::recv(peer, sink, sizeof sink, MSG_DONTWAIT) == 0) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Slower than the other links: a receive waits long enough (30 ms of real
    // time for the 3 s limit of the cases) for the register's thread to answer.
    orv::fuzz::StartLibrary(100);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    g_listener = orv::fuzz::Listen(reinterpret_cast<sockaddr*>(&at), length);
    FUZZ_CHECK(::getsockname(g_listener, reinterpret_cast<sockaddr*>(&at), &length) == 0);
    g_port = ntohs(at.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    char registerAddress[] = "127.0.0.1", terminal[] = "192.168.1.10";
    NetworkOpenRecord record{registerAddress, terminal, g_port};
    return orv::fuzz::AgainstPeer(
        data, size, g_listener, [&] { return Ol_Open_MWS(&record); }, Play);
}
