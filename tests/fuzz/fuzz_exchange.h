// The host's side of a fuzzed exchange: one transfer through the exports on
// the open link, with files in the scratch folder, while the peer's bytes
// come from the fuzzer. Every call must end with a documented result code.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "fuzz_support.h"
#include "orv_lib.h"
#include "platform/clock.h"

namespace orv::fuzz {

// Time runs this much faster, so that every time-out and pause of a link
// costs a millisecond of real time or less.
constexpr std::uint32_t kTimeScale = 100000;

// Speeds the clock up by timeScale, writes the files the transfers send (a
// table header of widths 2 and 3, a file of two rows, a line file) and
// initialises the library.
inline void StartLibrary(std::uint32_t timeScale) {
    orv::platform::SetTimeScale(timeScale);
    Put(ScratchPath("send.hdr"), "0100000000000001010203");
    Put(ScratchPath("send.csv"), "AABB,CCDDEE\r\n0102,030405\r\n");
    Put(ScratchPath("send.txt"), "LINE ONE\r\nLINE TWO\r\n");
    Ol_Initialize();
}

inline bool Documented(std::uint32_t rc) {
    static const std::set<std::uint32_t> codes = {0,  3,  4,  23, 29, 31, 32, 33, 34,
                                                  35, 36, 37, 38, 39, 40, 41, 50, 55,
                                                  82, 84, 85, 86, 87, 88, 89};
    return codes.count(rc) != 0;
}

// Runs the transfer that op picks, with the parameters from flags: 0 Ol_Read,
// 1 Ol_WriteRead receiving, 2 Ol_WriteRead sending a table file, 3 Ol_Write
// of a line file; checks its result. Received files land in a fresh folder.
// headerFirst: the link's receive succeeds only after a header was accepted,
// so a success leaves the header file and a data file behind (network, USB).
inline void Transfer(std::uint8_t op, std::uint8_t flags, bool headerFirst) {
    namespace fs = std::filesystem;
    const fs::path in = ScratchPath("in");
    fs::remove_all(in);
    fs::create_directory(in);
    std::string data = in / "data.csv", header = in / "data.hdr";
    std::string sendData = ScratchPath("send.csv"), sendHeader = ScratchPath("send.hdr");
    std::string lines = ScratchPath("send.txt");
    char command[] = "COMMAND\r";
    ExchangeRequest request{};
    request.direction = op % 4 == 2;
    request.selection = flags % 3;
    request.command = (flags & 4) != 0 ? command : nullptr;
    request.receiveWait = request.timeout = request.selectTimeout = 3000;
    request.retries = 1 + (flags >> 3) % 3;  // the network link makes this many attempts
    request.selectRetries = 1;
    request.closeMode = (flags >> 5) & 1;
    request.endPause = (flags >> 6) & 1;
    // Received: the header format from bit 7, csv when bit 3 is set (Ol_Read: never).
    HeaderFileDesc h{static_cast<std::uint32_t>(flags >> 7), header.data(), 3000};
    DataFileDesc d{op % 4 == 0 ? 0u : flags & 8u, 0, data.data(), 3000};
    if (op % 4 == 2) h = {0, sendHeader.data(), 3000}, d = {1, 0, sendData.data(), 3000};
    SendFileDesc lineFile{lines.data(), 3000};
    const std::uint32_t rc = op % 4 == 0   ? Ol_Read(&d)
                             : op % 4 == 3 ? Ol_Write(&lineFile)
                                           : Ol_WriteRead(&request, &h, &d);
    // ORV_FUZZ_VERBOSE=1 tells the result of every case (to check seeds).
    if (std::getenv("ORV_FUZZ_VERBOSE") != nullptr) std::fprintf(stderr, "op %u: %u\n", op % 4, rc);
    FUZZ_CHECK(Documented(rc));
    if (rc == 0 && op % 4 == 0) FUZZ_CHECK(fs::exists(data));
    if (rc == 0 && op % 4 == 1 && headerFirst) {
        FUZZ_CHECK(fs::exists(header) && test::Entries(in.c_str()) >= 2);
    }
}

// A socket of the register's listening at address (stream, or seqpacket for
// a local address).
inline int Listen(sockaddr* address, socklen_t length) {
    const int type = address->sa_family == AF_UNIX ? SOCK_SEQPACKET : SOCK_STREAM;
    const int fd = ::socket(address->sa_family, type | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0 && ::bind(fd, address, length) == 0 && ::listen(fd, 4) == 0);
    return fd;
}

// One case against a register on a connection: byte 0 picks the transfer,
// byte 1 is its flags. open() opens the link, the connection is accepted from
// listener and played by play(peer, rest, done), rest being the input after
// those two bytes, on a thread of its own while the transfer runs; then
// everything is closed.
template <class Open, class Play>
int AgainstPeer(const std::uint8_t* data, std::size_t size, int listener, Open open, Play play) {
    NoLeak noLeak;
    Input in(data, size);
    const std::uint8_t op = in.Byte(), flags = in.Byte();
    // A USB open gives its monitor thread 45 s of clock time to start, under a
    // millisecond at the fuzzing scale, which a loaded machine can miss (the
    // open fails with 55): the open runs at most 100 times faster than real time.
    const std::uint32_t scale = platform::TimeScale();
    platform::SetTimeScale(std::min<std::uint32_t>(scale, 100));
    const std::uint32_t opened = open();
    platform::SetTimeScale(scale);
    if (opened != OL_OK) std::fprintf(stderr, "open: %u\n", opened);
    FUZZ_CHECK(opened == OL_OK);
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    std::atomic<bool> done{false};
    std::thread player([&] { play(peer, in, done); });
    Transfer(op, flags, true);
    done.store(true);
    player.join();
    FUZZ_CHECK(Ol_Close() == OL_OK);
    ::close(peer);
    return 0;
}

}  // namespace orv::fuzz
