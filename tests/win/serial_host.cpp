// The Windows serial port under Wine, on a pty that the Linux side (pty_peer)
// maps to COM<n> and answers: the port of the platform layer directly (open,
// bytes both ways, blocking reads with a time limit, purge, modem status; a
// read that waits holds up no modem-status query), then the DLL in line mode
// 2: Ol_Open_RS, Ol_SignalWrite, a sending and a receiving Ol_WriteRead of a
// two-file csv series (the peer checks the wire), Ol_Close.
//
//   serial_host <n>      (serial_host --noop exits at once)
#include <cstdlib>
#include <cstring>
#include <string>

#include "host_check.h"
#include "platform/serial_port.h"

using orv::platform::SerialPort;

namespace {

void Write(SerialPort* port, const char* text) {
    std::uint32_t error = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        check(port->WriteByte(static_cast<std::uint8_t>(*p), 100, &error) == 1, "write a byte");
    }
}

// Reads up to count bytes, each waited for up to 300 ms.
std::string Read(SerialPort* port, std::size_t count) {
    std::string got;
    for (int attempt = 0; attempt < 40 && got.size() < count; ++attempt) {
        std::uint8_t in = 0;
        if (port->ReadByte(&in, 300) == 1) got += static_cast<char>(in);
    }
    return got;
}

// Reads the silent line in 300 ms slices for about a second.
DWORD WINAPI ReadSilentLine(LPVOID arg) {
    std::uint8_t in = 0;
    for (int i = 0; i < 3; ++i) static_cast<SerialPort*>(arg)->ReadByte(&in, 300);
    return 0;
}

// The slowest of 20 modem-status queries made while another thread reads, ms.
DWORD SlowestStatusDuringReads(SerialPort* port) {
    HANDLE reader = CreateThread(nullptr, 0, ReadSilentLine, port, 0, nullptr);
    check(reader != nullptr, "reader thread");
    Sleep(50);
    DWORD slowest = 0;
    for (int i = 0; i < 20; ++i) {
        DWORD start = GetTickCount();
        (void)port->ModemStatus();
        DWORD took = GetTickCount() - start;
        if (took > slowest) slowest = took;
        Sleep(7);
    }
    if (reader != nullptr) WaitForSingleObject(reader, INFINITE);
    if (reader != nullptr) CloseHandle(reader);
    return slowest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--noop") == 0) return 0;
    int com = std::atoi(argv[1]);

    SerialPort* port = nullptr;
    check(orv::platform::OpenSerialPort(6, com, &port) == 0 && port != nullptr, "open the pty");
    if (port == nullptr) return 1;
    Write(port, "PING");
    check(Read(port, 4) == "PONG", "answer read back");

    DWORD start = GetTickCount();
    std::uint8_t in = 0;
    check(port->ReadByte(&in, 300) == 0, "nothing on a silent line");
    DWORD took = GetTickCount() - start;
    check(took >= 250 && took < 2000, "a read that finds nothing blocks for its slice");
    // The line supervisor's queries never wait behind a read.
    check(SlowestStatusDuringReads(port) < 100, "modem status while a read waits");

    Write(port, "JUNK");  // the peer answers XYZ, which the purge discards
    Sleep(500);
    port->PurgeInput();
    check(port->ReadByte(&in, 100) == 0, "purged input");
    check(port->ModemStatus() == 0, "a pty has no modem lines");
    delete port;

    port = nullptr;
    check(orv::platform::OpenSerialPort(6, com + 1, &port) == 71 && port == nullptr,
          "a port that does not exist");

    // The DLL on the same port: line mode 2 connects at once.
    Ol_Initialize();
    SerialOpenRecord record{const_cast<char*>("000001"), static_cast<uint32_t>(com), 6, 2};
    check(Ol_Open_RS(&record) == OL_OK, "Ol_Open_RS in line mode 2");
    check(Ol_SignalWrite(3) == OL_OK, "Ol_SignalWrite");
    ExchangeRequest request{};
    request.retries = request.selectRetries = 2;
    request.timeout = request.selectTimeout = 10000;
    exchange_series(Ol_WriteRead, "serial_host_files", &request);
    check(Ol_Close() == OL_OK, "Ol_Close");
    record.portNumber = static_cast<uint32_t>(com + 1);
    check(Ol_Open_RS(&record) == OL_NO_LINK, "Ol_Open_RS on a missing port");
    Ol_End();

    std::printf("serial_host: %s\n", g_failed == 0 ? "passed" : "failed");
    return g_failed == 0 ? 0 : 1;
}
