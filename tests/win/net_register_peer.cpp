// The register's end of the Windows network test: runs on Linux, listens on
// the loopback address and plays the register's part of the exchanges that
// net_host.c runs through the DLL under wine64, checking every block the host
// sends byte for byte.
//
// Usage: net_register_peer PORT_FILE
// The port is written to PORT_FILE (atomically) once the register listens.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "register/tcp_register.h"

namespace {

using orv::reg::TcpBlock;
using orv::reg::TcpRegister;
using orv::reg::TcpStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr int kAcceptWait = 180000;  // the first run of wine creates its prefix
constexpr int kBlockWait = 60000;
constexpr std::uint8_t kTerminal = 20;  // the host's terminal address ends in 20

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes Header(std::uint8_t fileNumber) {
    Bytes h = Text("/HDR1/");
    const Bytes fields = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, fileNumber, 0x02, 0x02, 0x03};
    h.insert(h.end(), fields.begin(), fields.end());
    return h;
}

const Bytes kFile1 = {0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0xCC,
                      0xDD, 0xEE, 0x01, 0x02, 0x03, 0x04, 0x05};
const Bytes kFile2 = {0x00, 0x00, 0x00, 0x01, 0xFF, 0xEE, 0xDD, 0xCC, 0xBB};

// Receives a block and checks its header bytes and data.
void Expect(TcpRegister& reg, const char* what, std::uint8_t sequence, std::uint8_t type,
            const Bytes& data) {
    TcpBlock block;
    TcpStatus s = reg.Receive(&block, kBlockWait);
    if (s != TcpStatus::Ok) {
        Check(false, std::string(what) + ": " + orv::reg::TcpStatusName(s));
        return;
    }
    Check(block.terminal == kTerminal && block.sequence == sequence && block.type == type &&
              block.code == 0,
          std::string(what) + ": header " + orv::reg::HexOf(reg.LastFrame().data(), 6));
    Check(block.data == data,
          std::string(what) + ": data " + orv::reg::HexOf(block.data.data(), block.data.size()));
}

bool WritePort(const char* path, std::uint16_t port) {
    std::string temp = std::string(path) + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f, "%u\n", port);
    if (std::fclose(f) != 0) return false;
    return std::rename(temp.c_str(), path) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT_FILE\n", argv[0]);
        return 2;
    }
    TcpRegister reg;
    if (!reg.Listen() || !WritePort(argv[1], reg.Port())) {
        std::printf("FAILED: cannot listen\n");
        return 1;
    }
    if (!reg.Accept(kAcceptWait)) {
        std::printf("FAILED: the host did not connect\n");
        return 1;
    }

    // The host sends: command, answer; per file a header, its data, answer;
    // the end block.
    Expect(reg, "send: command", 0, 0x00, Text("SEND"));
    reg.Send(0, 0x01, {});
    Expect(reg, "send: header 1", 0, 0x03, Header(1));
    Expect(reg, "send: data 1", 1, 0x44, kFile1);
    reg.Send(0, 0x01, {});
    Expect(reg, "send: header 2", 0, 0x43, Header(2));
    Expect(reg, "send: data 2", 1, 0x44, kFile2);
    reg.Send(0, 0x01, {});
    Expect(reg, "send: end", 0, 0x81, {});

    // The host receives: command (no answer awaited), then the series; the
    // host ends with the end block.
    Expect(reg, "receive: command", 0, 0x00, Text("RECV"));
    reg.Send(0, 0x03, Header(1));
    reg.Send(1, 0x44, kFile1);
    reg.Send(0, 0x43, Header(2));
    reg.Send(1, 0x44, kFile2);
    Expect(reg, "receive: end", 0, 0x81, {});

    // Ol_Read: a refusal.
    reg.Refuse(0);

    // Silence until the host gives up waiting; then it asks again, and the
    // register sends a whole block and closes.
    Expect(reg, "bye: command", 0, 0x00, Text("BYE"));
    reg.Send(0, 0x44, {0x01, 0x02});
    reg.CloseConnection();

    std::printf("register: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
