// The USB link's packet receive path and its three transfers fed a sequence
// of transfers through the seqpacket socket that stands in for the device.
// The device hangs up once the library has read every transfer.
//   byte 0: the transfer (fuzz_exchange.h), byte 1: its flags; then
//   transfers, each a 2-byte length (high first, modulo 1025) and its bytes.
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/un.h>

#include <cstring>
#include <vector>

#include "fuzz_exchange.h"

namespace {

int g_listener = -1;
std::string g_path;

// The register's side: sends every transfer, takes what the library writes,
// and hangs up once the library has read everything (or the call is over).
void Play(int peer, orv::fuzz::Input& in, const std::atomic<bool>& done) {
    std::vector<std::string> transfers;
    while (in.Left() > 0) transfers.push_back(in.Take(in.Word() % 1025));
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
    orv::fuzz::StartLibrary(orv::fuzz::kTimeScale);
    g_path = orv::fuzz::ScratchPath("usb.sock");
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strncpy(at.sun_path, g_path.c_str(), sizeof at.sun_path - 1);
    g_listener = orv::fuzz::Listen(reinterpret_cast<sockaddr*>(&at), sizeof at);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    UsbOpenRecord record{g_path.data()};
    return orv::fuzz::AgainstPeer(
        data, size, g_listener, [&] { return Ol_Open_USB(&record); }, Play);
}
