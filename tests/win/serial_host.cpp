// The Windows serial port under Wine, on a pty that the Linux side (pty_peer)
// maps to COM<n> and answers: the port of the platform layer directly (open,
// bytes both ways, blocking reads with a time limit, purge, modem status; a
// read that waits holds up no modem-status query), then the DLL in line mode
// 2: Ol_Open_RS, Ol_SignalWrite, a sending and a receiving Ol_WriteRead of a
// two-file csv series (the peer checks the wire), Ol_Close.
//
//   serial_host <n>      (serial_host --noop exits at once)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "orv_lib.h"
#include "platform/serial_port.h"

using orv::platform::SerialPort;

namespace {

int g_failed = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        ++g_failed;
        std::printf("FAILED: %s\n", what);
    }
}

void Write(SerialPort* port, const char* text) {
    std::uint32_t error = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        Check(port->WriteByte(static_cast<std::uint8_t>(*p), 100, &error) == 1, "write a byte");
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

void PutText(const char* path, const char* text) {
    std::FILE* f = std::fopen(path, "wb");
    Check(f != nullptr, path);
    if (f == nullptr) return;
    std::fputs(text, f);
    std::fclose(f);
}

bool FileIs(const char* path, const std::string& text) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    char buf[512];
    std::size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    return std::string(buf, n) == text;
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
    Check(reader != nullptr, "reader thread");
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

// A two-file csv series sent after a selection and a command, closed with EOT
// and ACK; then received after a bid and a command.
void Exchanges() {
    const std::string csv1 = "AABB,CCDDEE\r\n0102,030405\r\n";
    const std::string csv2 = "FFEE,DDCCBB\r\n";
    CreateDirectoryA("serial_host_files", nullptr);
    PutText("serial_host_files\\hdr_send.txt", "01,00,0000,00,0000,01,02,02,03\r\n");
    PutText("serial_host_files\\SEND.CSV", csv1.c_str());
    PutText("serial_host_files\\SEND.002", csv2.c_str());
    DeleteFileA("serial_host_files\\RECV.CSV");
    DeleteFileA("serial_host_files\\RECV.002");

    char sendCommand[] = "SEND\rignored";
    char sendHeaderPath[] = "serial_host_files\\hdr_send.txt";
    char sendDataPath[] = "serial_host_files\\SEND.CSV";
    ExchangeRequest request{};
    request.direction = 1;
    request.selection = 0;
    request.command = sendCommand;
    request.retries = 2;
    request.timeout = 10000;
    request.selectRetries = 2;
    request.selectTimeout = 10000;
    HeaderFileDesc header{1, sendHeaderPath, 0};
    DataFileDesc data{1, 0, sendDataPath, 0};
    Check(Ol_WriteRead(&request, &header, &data) == OL_OK, "sending exchange");
    Check(std::strcmp(sendCommand, "SEND") == 0, "command cut at its CR");

    char recvCommand[] = "RECV";
    char recvHeaderPath[] = "serial_host_files\\hdr_recv.txt";
    char recvDataPath[] = "serial_host_files\\RECV.CSV";
    request.direction = 0;
    request.selection = 1;
    request.command = recvCommand;
    HeaderFileDesc recvHeader{1, recvHeaderPath, 10000};
    DataFileDesc recvData{1, 77, recvDataPath, 10000};
    Check(Ol_WriteRead(&request, &recvHeader, &recvData) == OL_OK, "receiving exchange");
    Check(FileIs(recvHeaderPath, "01,00,0000,00,0000,01,02,02,03"), "header file written");
    Check(FileIs(recvDataPath, csv1), "first data file");
    Check(FileIs("serial_host_files\\RECV.002", csv2), "second data file");
    Check(recvData.byteCount == 33, "byte count of the series");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--noop") == 0) return 0;
    int com = std::atoi(argv[1]);

    SerialPort* port = nullptr;
    Check(orv::platform::OpenSerialPort(6, com, &port) == 0 && port != nullptr, "open the pty");
    if (port == nullptr) return 1;
    Write(port, "PING");
    Check(Read(port, 4) == "PONG", "answer read back");

    DWORD start = GetTickCount();
    std::uint8_t in = 0;
    Check(port->ReadByte(&in, 300) == 0, "nothing on a silent line");
    DWORD took = GetTickCount() - start;
    Check(took >= 250 && took < 2000, "a read that finds nothing blocks for its slice");
    // The line supervisor's queries never wait behind a read.
    Check(SlowestStatusDuringReads(port) < 100, "modem status while a read waits");

    Write(port, "JUNK");  // the peer answers XYZ, which the purge discards
    Sleep(500);
    port->PurgeInput();
    Check(port->ReadByte(&in, 100) == 0, "purged input");
    Check(port->ModemStatus() == 0, "a pty has no modem lines");
    delete port;

    port = nullptr;
    Check(orv::platform::OpenSerialPort(6, com + 1, &port) == 71 && port == nullptr,
          "a port that does not exist");

    // The DLL on the same port: line mode 2 connects at once.
    Ol_Initialize();
    SerialOpenRecord record{const_cast<char*>("000001"), static_cast<uint32_t>(com), 6, 2};
    Check(Ol_Open_RS(&record) == OL_OK, "Ol_Open_RS in line mode 2");
    Check(Ol_SignalWrite(3) == OL_OK, "Ol_SignalWrite");
    Exchanges();
    Check(Ol_Close() == OL_OK, "Ol_Close");
    record.portNumber = static_cast<uint32_t>(com + 1);
    Check(Ol_Open_RS(&record) == OL_NO_LINK, "Ol_Open_RS on a missing port");
    Ol_End();

    std::printf("serial_host: %s\n", g_failed == 0 ? "passed" : "failed");
    return g_failed == 0 ? 0 : 1;
}
