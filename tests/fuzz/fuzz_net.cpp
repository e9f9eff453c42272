// The network link's block receive path fed through a loopback connection:
// length fields, checksums, types and truncation of every block, and the
// register's close at any byte (it closes once everything is sent).
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags; the rest is
//   what the register sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_exchange.h"

namespace {

int g_listener = -1;
std::uint32_t g_port = 0;

void Listen() {
    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    FUZZ_CHECK(g_listener >= 0 &&
               ::bind(g_listener, reinterpret_cast<sockaddr*>(&at), length) == 0);
    FUZZ_CHECK(::listen(g_listener, 4) == 0);
    FUZZ_CHECK(::getsockname(g_listener, reinterpret_cast<sockaddr*>(&at), &length) == 0);
    g_port = ntohs(at.sin_port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    orv::platform::SetTimeScale(orv::fuzz::kTimeScale);
    orv::fuzz::WriteSendFiles();
    Listen();
    Ol_Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orv::fuzz::Input in(data, size);
    const std::uint8_t op = in.Byte();
    orv::fuzz::Input flags(data + (size > 1 ? 1 : size), size > 1 ? 1 : 0);
    in.Byte();
    const std::string stream = in.Rest();
    orv::fuzz::NoLeak noLeak;
    char registerAddress[] = "127.0.0.1", terminal[] = "192.168.1.10";
    NetworkOpenRecord record{registerAddress, terminal, g_port};
    FUZZ_CHECK(Ol_Open_MWS(&record) == OL_OK);
    const int peer = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    FUZZ_CHECK(::send(peer, stream.data(), stream.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(stream.size()));
    ::shutdown(peer, SHUT_WR);
    orv::fuzz::Transfer(op, flags, true);
    FUZZ_CHECK(Ol_Close() == OL_OK);
    ::close(peer);
    return 0;
}
