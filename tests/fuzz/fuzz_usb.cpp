// The USB link's packet receive path and its three transfers fed a sequence
// of transfers through the seqpacket socket that stands in for the device.
// The device hangs up once the library has read every transfer.
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags; then
//   transfers, each a 2-byte length (high first, modulo 1025) and its bytes.
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "fuzz_exchange.h"

namespace {

int g_listener = -1;
std::string g_path;

void Listen() {
    g_path = orv::fuzz::ScratchPath("usb.sock");
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strncpy(at.sun_path, g_path.c_str(), sizeof at.sun_path - 1);
    g_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(g_listener >= 0 &&
               ::bind(g_listener, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0);
    FUZZ_CHECK(::listen(g_listener, 4) == 0);
}

// The register's side: sends every transfer, takes what the library writes,
// and hangs up once the library has read everything (or the call is over).
void Play(int peer, const std::vector<std::string>& transfers, const std::atomic<bool>& done) {
    std::size_t next = 0;
    for (;;) {
        std::uint8_t sink[2048];
        while (::recv(peer, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
        }
        if (next < transfers.size()) {
            const std::string& t = transfers[next];
            if (::send(peer, t.data(), t.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
                ++next;
                continue;
            }
        } else {
            int unread = 0;
            if (::ioctl(peer, SIOCOUTQ, &unread) != 0 || unread == 0) break;
        }
        if (done.load()) break;
        pollfd p{peer, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    ::shutdown(peer, SHUT_RDWR);
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
    std::vector<std::string> transfers;
    while (in.Left() > 0) transfers.push_back(in.Take(in.Word() % 1025));
    orv::fuzz::NoLeak noLeak;
    UsbOpenRecord record{g_path.data()};
    const std::uint32_t opened = Ol_Open_USB(&record);
    if (opened != OL_OK) std::fprintf(stderr, "Ol_Open_USB: %u\n", opened);
    FUZZ_CHECK(opened == OL_OK);
    const int peer = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    std::atomic<bool> done{false};
    std::thread player(Play, peer, std::cref(transfers), std::cref(done));
    orv::fuzz::Transfer(op, flags, true);
    done.store(true);
    player.join();
    FUZZ_CHECK(Ol_Close() == OL_OK);
    ::close(peer);
    return 0;
}
