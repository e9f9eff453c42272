// The far end of the USB device in the wine64 tests: serves one connection on
// the message-mode named pipe \\.\pipe\NAME (1024-byte messages) and plays one
// scenario on it. The exit code is the verdict (0 = everything as expected).
//
//   usb_pipe_peer NAME transfers   checks the host's transfer, answers with an
//                                  empty message, an echo, a short message and,
//                                  after the host's "go", one more; then closes
//   usb_pipe_peer NAME silent      never sends; reads until the host closes
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kMessageSize = 1024;

int g_failed = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        ++g_failed;
        std::printf("peer FAILED: %s\n", what);
        std::fflush(stdout);
    }
}

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
    Check(WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
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
    Check(Receive(pipe, &in), "the host's transfer arrives");
    Check(in == Pattern(), "the host's transfer is 1024 bytes as written");
    Send(pipe, std::string());
    Send(pipe, in);
    Send(pipe, std::string("\x00\x05"
                           "ABCDE",
                           7));
    // The host lets one read time out before it says "go": a read it cancelled
    // must not have taken this message.
    Check(Receive(pipe, &in) && in.substr(0, 2) == "go", "the host's go");
    std::string last(kMessageSize, '\0');
    last.replace(0, 4, "\x00\x02OK", 4);
    Send(pipe, last);
    Check(Receive(pipe, &in) && in.substr(0, 3) == "bye", "the host's bye");
    // Closing the server end is the device's removal for the host.
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
    } else if (scenario == "silent") {
        Silent(pipe);
    } else {
        Check(false, "known scenario");
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return g_failed == 0 ? 0 : 1;
}
