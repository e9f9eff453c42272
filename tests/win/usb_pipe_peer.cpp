// The far end of the USB device in the wine64 tests: serves one connection on
// the message-mode named pipe \\.\pipe\NAME (1024-byte messages) and plays one
// scenario on it. The exit code is the verdict (0 = everything as expected).
//
//   usb_pipe_peer NAME transfers   checks the host's transfer, answers with an
//                                  empty message, an echo, a short message and,
//                                  after the host's "go", one more; then closes
//   usb_pipe_peer NAME exchanges   the register's part of usb_dll_host's
//                                  exchanges, checking every packet
//   usb_pipe_peer NAME silent      never sends; reads until the host closes
//   usb_pipe_peer NAME deaf        neither reads nor sends; the host ends it
#include <string>

#include "host_check.h"

namespace {

constexpr DWORD kMessageSize = 1024;

// One message from the host; false when the pipe broke.
bool Receive(HANDLE pipe, std::string* message) {
    char buffer[kMessageSize];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) return false;
    message->assign(buffer, got);
    return true;
}

void Send(HANDLE pipe, const std::string& message) {
    DWORD written = 0;
    check(WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
              written == message.size(),
          "write a message");
}

// The 1024 bytes the host writes first: byte i is i * 7 + 3.
std::string Pattern() {
    std::string bytes(kMessageSize, '\0');
    for (DWORD i = 0; i < kMessageSize; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return bytes;
}

void Transfers(HANDLE pipe) {
    std::string in;
    check(Receive(pipe, &in), "the host's transfer arrives");
    check(in == Pattern(), "the host's transfer is 1024 bytes as written");
    Send(pipe, std::string());
    Send(pipe, in);
    Send(pipe, std::string("\x00\x05"
                           "ABCDE",
                           7));
    // The host lets one read time out before it says "go": a read it cancelled
    // must not have taken this message.
    check(Receive(pipe, &in) && in.substr(0, 2) == "go", "the host's go");
    std::string last(kMessageSize, '\0');
    last.replace(0, 4, "\x00\x02OK", 4);
    Send(pipe, last);
    check(Receive(pipe, &in) && in.substr(0, 3) == "bye", "the host's bye");
    // Closing the server end is the device's removal for the host.
}

// A packet as the register sees it: the KIND, the 22 header bytes and the data.
struct Packet {
    std::string header;  // 22 bytes; the KIND is header[2]
    std::string data;
    int Kind() const { return static_cast<unsigned char>(header[2]); }
};

// The header bytes 0-1 and 4-21 the register puts in its packets; the host
// must carry the last ones it received back in its own packets.
std::string RegisterHeader(int kind, int round) {
    std::string h(22, '\0');
    for (std::size_t i = 0; i < 22; ++i)
        h[i] = static_cast<char>(0x30 + round * 22 + static_cast<int>(i));
    h[2] = static_cast<char>(kind);
    h[3] = '\0';
    return h;
}

int g_round = 0;         // packets the register has sent so far
std::string g_lastSent;  // header of the register's last packet

void SendPacket(HANDLE pipe, int kind, const std::string& data) {
    g_lastSent = RegisterHeader(kind, g_round++ % 8);
    std::string packet = g_lastSent + data;
    std::string transfer(kMessageSize, '\0');
    transfer[0] = static_cast<char>(packet.size() >> 8);
    transfer[1] = static_cast<char>(packet.size() & 0xFF);
    transfer.replace(2, packet.size(), packet);
    Send(pipe, transfer);
}

// Receives the host's next packet and checks its KIND, data and the header
// bytes it echoes.
void ExpectPacket(HANDLE pipe, const char* what, int kind, const std::string& data) {
    std::string in;
    if (!Receive(pipe, &in) || in.size() != kMessageSize) {
        check(false, what);
        return;
    }
    std::size_t length =
        (static_cast<unsigned char>(in[0]) << 8) | static_cast<unsigned char>(in[1]);
    bool framed = length >= 22 && length <= kMessageSize - 2 &&
                  in.find_first_not_of('\0', 2 + length) == std::string::npos;
    if (!framed) {
        std::printf("peer: %s: length %zu or padding wrong\n", what, length);
        check(false, what);
        return;
    }
    Packet p{in.substr(2, 22), in.substr(24, length - 22)};
    bool echoed = true;
    if (!g_lastSent.empty()) {
        for (std::size_t i = 0; i < 22; ++i) {
            if (i != 2 && i != 3) echoed = echoed && p.header[i] == g_lastSent[i];
        }
    }
    if (p.Kind() != kind || p.header[3] != 0 || p.data != data || !echoed) {
        std::printf("peer: %s: KIND %02X, %zu data bytes, echo %d\n", what, p.Kind(), p.data.size(),
                    echoed ? 1 : 0);
        check(false, what);
    }
}

std::string HeaderText(int fileNumber) {
    return std::string("/HDR1/01000000000000") + (fileNumber == 1 ? "01" : "02") + "020203";
}

// The two csv files of the series as data blocks: a 4-byte row count, the rows.
const std::string kFile1("\0\0\0\x02\xAA\xBB\xCC\xDD\xEE\x01\x02\x03\x04\x05", 14);
const std::string kFile2("\0\0\0\x01\xFF\xEE\xDD\xCC\xBB", 9);

// The register's part of the exchanges that usb_dll_host runs through the DLL.
void Exchanges(HANDLE pipe) {
    // Sending: selection 0 after a drain (the register stays silent for it),
    // command, then per file a header and its one data block, then END.
    ExpectPacket(pipe, "send: selection 0x0F", 0x0F, "");
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: command", 0x00, "SEND");
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: header 1", 0x03, HeaderText(1));
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: data 1", 0x44, kFile1);
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: header 2", 0x43, HeaderText(2));
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: data 2", 0x44, kFile2);
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "send: END", 0x81, "");

    // Receiving: selection 1, the command (no reply), the series of two files
    // with an acknowledgement between them, END.
    ExpectPacket(pipe, "receive: selection 0x01", 0x01, "");
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "receive: command", 0x00, "RECV");
    SendPacket(pipe, 0x03, HeaderText(1));
    ExpectPacket(pipe, "receive: request 1", 0x01, "");
    SendPacket(pipe, 0x44, kFile1);
    ExpectPacket(pipe, "receive: acknowledgement", 0x01, "");
    SendPacket(pipe, 0x43, HeaderText(2));
    ExpectPacket(pipe, "receive: request 2", 0x01, "");
    Send(pipe, std::string());  // an empty transfer is skipped
    SendPacket(pipe, 0x44, kFile2);
    ExpectPacket(pipe, "receive: END", 0x81, "");

    // Ol_Write of 1500 bytes: blocks of 1000 and 500, each answered.
    std::string file(1500, '\0');
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i % 251);
    ExpectPacket(pipe, "write: block 1", 0x04, file.substr(0, 1000));
    SendPacket(pipe, 0x01, "");
    ExpectPacket(pipe, "write: block 2", 0x44, file.substr(1000));
    SendPacket(pipe, 0x01, "");

    // Ol_Read: each block requested, the last one marked by bit 0x40.
    ExpectPacket(pipe, "read: request 1", 0x01, "");
    SendPacket(pipe, 0x05, "AB");
    ExpectPacket(pipe, "read: request 2", 0x01, "");
    SendPacket(pipe, 0x45, "CDE");
    std::string in;
    check(!Receive(pipe, &in), "nothing more before the host closes");
}

// Reads nothing, so the host's writes fill the pipe; the host ends the peer
// (at the latest it ends itself after a minute).
void Deaf() {
    Sleep(60000);
}

void Silent(HANDLE pipe) {
    std::string in;
    while (Receive(pipe, &in)) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: usb_pipe_peer NAME SCENARIO\n");
        return 2;
    }
    std::string path = std::string("\\\\.\\pipe\\") + argv[1];
    HANDLE pipe = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::printf("peer FAILED: CreateNamedPipeA, error %lu\n", GetLastError());
        return 1;
    }
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        std::printf("peer FAILED: ConnectNamedPipe, error %lu\n", GetLastError());
        return 1;
    }
    std::string scenario = argv[2];
    if (scenario == "transfers") {
        Transfers(pipe);
    } else if (scenario == "exchanges") {
        Exchanges(pipe);
    } else if (scenario == "deaf") {
        Deaf();
    } else if (scenario == "silent") {
        Silent(pipe);
    } else {
        check(false, "known scenario");
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return g_failed == 0 ? 0 : 1;
}
