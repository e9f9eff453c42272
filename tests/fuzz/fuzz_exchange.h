// The host's side of a fuzzed exchange: one transfer through the exports on
// the open link, with files in the scratch folder, while the peer's bytes
// come from the fuzzer. Every call must end with a documented result code.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "orv_lib.h"
#include "platform/clock.h"

namespace orv::fuzz {

// Time runs this much faster, so that every time-out and pause of a link
// costs a millisecond of real time or less.
constexpr std::uint32_t kTimeScale = 100000;

inline bool Documented(std::uint32_t rc) {
    static const std::set<std::uint32_t> codes = {0,  3,  4,  23, 29, 31, 32, 33, 34,
                                                  35, 36, 37, 38, 39, 40, 41, 50, 55,
                                                  82, 84, 85, 86, 87, 88, 89};
    return codes.count(rc) != 0;
}

// A table header (widths 2 and 3) and a file of two rows to send.
inline void WriteSendFiles() {
    Put(ScratchPath("send.hdr"), "0100000000000001010203");
    Put(ScratchPath("send.csv"), "AABB,CCDDEE\r\n0102,030405\r\n");
    Put(ScratchPath("send.txt"), "LINE ONE\r\nLINE TWO\r\n");
}

// Runs the transfer that op picks, with the parameters from in: 0 Ol_Read,
// 1 Ol_WriteRead receiving, 2 Ol_WriteRead sending a table file, 3 Ol_Write
// of a line file. Returns its result code, already checked. headerFirst: the
// link's receive succeeds only after a header was accepted, so a success
// leaves the header file and a data file behind (network and USB).
inline std::uint32_t Transfer(std::uint8_t op, Input& in, bool headerFirst) {
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(Scratch())) {
        if (entry.path().filename().string().rfind("data.", 0) == 0) fs::remove(entry.path());
    }
    std::string data = ScratchPath("data.csv"), header = ScratchPath("data.hdr");
    std::string sendData = ScratchPath("send.csv"), sendHeader = ScratchPath("send.hdr");
    std::string lines = ScratchPath("send.txt");
    char command[] = "COMMAND\r";
    const std::uint8_t flags = in.Byte();
    ExchangeRequest request{};
    request.selection = flags % 3;
    request.command = (flags & 4) != 0 ? command : nullptr;
    request.receiveWait = 3000;
    request.retries = 1 + (flags >> 3) % 3;  // the network link makes this many attempts
    request.timeout = 3000;
    request.selectRetries = 1;
    request.selectTimeout = 3000;
    request.closeMode = (flags >> 5) & 1;
    request.endPause = (flags >> 6) & 1;
    std::uint32_t rc = 0;
    switch (op % 4) {
        case 0: {
            DataFileDesc file{0, 0, data.data(), 3000};
            rc = Ol_Read(&file);
            break;
        }
        case 1: {
            HeaderFileDesc h{static_cast<std::uint32_t>(flags >> 7), header.data(), 3000};
            DataFileDesc d{static_cast<std::uint32_t>(flags & 8), 0, data.data(), 3000};
            request.direction = 0;
            rc = Ol_WriteRead(&request, &h, &d);
            break;
        }
        case 2: {
            HeaderFileDesc h{0, sendHeader.data(), 3000};
            DataFileDesc d{1, 0, sendData.data(), 3000};
            request.direction = 1;
            rc = Ol_WriteRead(&request, &h, &d);
            break;
        }
        default: {
            SendFileDesc file{lines.data(), 3000};
            rc = Ol_Write(&file);
            break;
        }
    }
    // ORV_FUZZ_VERBOSE=1 tells the result of every case (to check seeds).
    if (std::getenv("ORV_FUZZ_VERBOSE") != nullptr) std::fprintf(stderr, "op %u: %u\n", op % 4, rc);
    FUZZ_CHECK(Documented(rc));
    if (rc == 0 && op % 4 == 0) FUZZ_CHECK(fs::exists(data));
    if (rc == 0 && op % 4 == 1 && headerFirst) {
        FUZZ_CHECK(fs::exists(header));
        bool dataFile = false;
        for (const auto& entry : fs::directory_iterator(Scratch())) {
            const std::string name = entry.path().filename().string();
            dataFile = dataFile || (name.rfind("data.", 0) == 0 && name != "data.hdr");
        }
        FUZZ_CHECK(dataFile);
    }
    return rc;
}

// A socket of the register's listening at address (stream, or seqpacket for
// a local address).
inline int Listen(sockaddr* address, socklen_t length) {
    const int type = address->sa_family == AF_UNIX ? SOCK_SEQPACKET : SOCK_STREAM;
    const int fd = ::socket(address->sa_family, type | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0 && ::bind(fd, address, length) == 0 && ::listen(fd, 4) == 0);
    return fd;
}

// One case against a register on a connection: open() opens the link, the
// connection is accepted from listener and played by play(peer, done) on a
// thread of its own while the transfer op runs; then everything is closed.
template <class Open, class Play>
void AgainstPeer(std::uint8_t op, Input flags, int listener, Open open, Play play) {
    NoLeak noLeak;
    const std::uint32_t opened = open();
    if (opened != OL_OK) std::fprintf(stderr, "open: %u\n", opened);
    FUZZ_CHECK(opened == OL_OK);
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    std::atomic<bool> done{false};
    std::thread player([&] { play(peer, done); });
    Transfer(op, flags, true);
    done.store(true);
    player.join();
    FUZZ_CHECK(Ol_Close() == OL_OK);
    ::close(peer);
}

}  // namespace orv::fuzz
