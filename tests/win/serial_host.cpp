// The Windows serial port of the platform layer under Wine, on the pty of an
// orv-sim that run_serial_pty.sh maps to COM<n>: open, bytes both ways (the
// simulator answers a bid, ENQ, with ACK), a read that finds nothing blocks
// for its time limit, a read that waits holds up no modem-status query, the
// input purge, no modem lines on a pty, a port that does not exist. The DLL's
// exchanges on such a port are orvctl.exe's (orvctl_serial_exchange).
//
//   serial_host <n>      (without <n> it only starts: the Wine prefix is made)
#include <cstdlib>

#include "host_check.h"
#include "platform/serial_port.h"

using orv::platform::SerialPort;

namespace {

constexpr std::uint8_t kEnq = 0x05, kAck = 0x06;

void Bid(SerialPort* port) {
    std::uint32_t error = 0;
    check(port->WriteByte(kEnq, 100, &error) == 1, "a bid written");
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
    if (argc < 2) return 0;
    int com = std::atoi(argv[1]);

    SerialPort* port = nullptr;
    check(orv::platform::OpenSerialPort(6, com, &port) == 0 && port != nullptr, "open the pty");
    if (port == nullptr) return 1;
    Bid(port);
    std::uint8_t in = 0;
    check(port->ReadByte(&in, 10000) == 1 && in == kAck, "the answer read back");

    DWORD start = GetTickCount();
    check(port->ReadByte(&in, 300) == 0, "nothing on a silent line");
    DWORD took = GetTickCount() - start;
    check(took >= 250 && took < 2000, "a read that finds nothing blocks for its slice");
    // The line supervisor's queries never wait behind a read.
    check(SlowestStatusDuringReads(port) < 100, "modem status while a read waits");

    Bid(port);  // the purge discards the answer
    Sleep(500);
    port->PurgeInput();
    check(port->ReadByte(&in, 100) == 0, "purged input");
    check(port->ModemStatus() == 0, "a pty has no modem lines");
    delete port;

    port = nullptr;
    check(orv::platform::OpenSerialPort(6, com + 1, &port) == 71 && port == nullptr,
          "a port that does not exist");

    return report("serial_host");
}
