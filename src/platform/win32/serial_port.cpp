// Windows serial port: a COM port opened through CreateFileA and set up with
// the communications API, used with synchronous I/O only.
//
// Opening follows a fixed order: the "\\.\COMn" path, the properties query in
// two calls (size, then content), the DCB taken from the port with only the
// rate, data bits, parity and stop bits changed where the port offers them, and
// time-outs under which ReadFile returns at once with what is buffered.
//
// A provider may report a properties size smaller than COMMPROP (Wine reports
// 1) and still fill a whole COMMPROP: the buffer is never smaller than COMMPROP.
//
// ReadFile always returns at once (the time-outs set at open are never
// changed). A synchronous handle serialises every request on it, so a ReadFile
// that blocked would hold up the line supervisor's GetCommModemStatus and DTR
// switches on the same handle and stretch its ticks. A read that finds nothing
// therefore waits for its slice with ClearCommError's input count and 1 ms
// sleeps, outside any request on the port.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace orv::platform {

namespace {

static_assert(sizeof(COMMPROP) == 64, "COMMPROP is the 64-byte Windows structure");

struct BaudEntry {
    DWORD rate;
    DWORD settableFlag;
};

constexpr BaudEntry kBauds[7] = {
    {2400, BAUD_2400},   {4800, BAUD_4800},   {9600, BAUD_9600},     {19200, BAUD_19200},
    {38400, BAUD_38400}, {57600, BAUD_57600}, {115200, BAUD_115200},
};

// SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_PARITY_CHECK | SP_RLSD.
constexpr DWORD kSettableMask = 0x6F;

class Win32SerialPort final : public SerialPort {
  public:
    explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
    ~Win32SerialPort() override { CloseHandle(handle_); }

    int ReadByte(std::uint8_t* byte, std::uint32_t waitMs) override {
        const DWORD limit = RealWaitMs(waitMs);
        const DWORD start = RawNowMs();
        for (;;) {
            if (MayHaveInput()) {
                DWORD got = 0;
                if (!ReadFile(handle_, byte, 1, &got, nullptr)) {
                    SleepMs(waitMs);  // a broken port is not polled in a tight loop
                    return -1;
                }
                if (got == 1) return 1;
            }
            if (RawNowMs() - start >= limit) return 0;
            RawSleepMs(1);
        }
    }

    int WriteByte(std::uint8_t byte, std::uint32_t waitMs, std::uint32_t* error) override {
        DWORD written = 0;
        if (!WriteFile(handle_, &byte, 1, &written, nullptr)) {
            DWORD code = GetLastError();
            *error = code != 0 ? code : kErrorWriteFault;
            return -1;
        }
        if (written == 1) return 1;
        SleepMs(waitMs);
        return 0;
    }

    // WriteFile, with no write time-out, returns once the byte has been sent.
    int WaitSent(std::uint32_t /*waitMs*/) override { return 1; }

    void SetDtr(bool on) override { EscapeCommFunction(handle_, on ? SETDTR : CLRDTR); }
    void SetRts(bool on) override { EscapeCommFunction(handle_, on ? SETRTS : CLRRTS); }

    std::uint32_t ModemStatus() override {
        DWORD status = 0;  // stays 0 (every line off) when the query fails
        GetCommModemStatus(handle_, &status);
        return status;
    }

    void PurgeInput() override { PurgeComm(handle_, PURGE_RXCLEAR); }

  private:
    // False when the port's input queue is empty. True when it holds a byte,
    // or when the count cannot be had: ReadFile (which returns at once) looks.
    bool MayHaveInput() {
        DWORD errors = 0;
        COMSTAT status{};
        return !ClearCommError(handle_, &errors, &status) || status.cbInQue != 0;
    }

    HANDLE handle_;
};

}  // namespace

std::uint32_t OpenSystemSerialPort(std::int32_t baudCode, std::int32_t portNumber,
                                   SerialPort** port) {
    *port = nullptr;
    // Room for "\\.\COM" and any 32-bit number: no port number is cut short.
    char path[24];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(portNumber));
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return SerialOpenFailed;
    auto* opened = new (std::nothrow) Win32SerialPort(handle);
    if (opened == nullptr) {
        CloseHandle(handle);
        return SerialOpenFailed;
    }
    *port = opened;

    // The size of the port's properties, asked with a buffer of one COMMPROP.
    auto* probe = static_cast<COMMPROP*>(std::calloc(1, sizeof(COMMPROP)));
    if (probe == nullptr) return SerialOpenFailed;
    probe->wPacketLength = static_cast<WORD>(sizeof(COMMPROP));
    GetCommProperties(handle, probe);
    std::size_t size = probe->wPacketLength;
    std::free(probe);
    if (size == 0) return SerialOpenFailed;

    std::size_t allocated = size < sizeof(COMMPROP) ? sizeof(COMMPROP) : size;
    auto* props = static_cast<COMMPROP*>(std::calloc(1, allocated));
    if (props == nullptr) return SerialOpenFailed;
    props->wPacketLength = static_cast<WORD>(allocated);
    GetCommProperties(handle, props);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(handle, &dcb);

    if ((props->dwSettableParams & kSettableMask) == 0) {
        std::free(props);
        return SerialNotSettable;
    }
    const BaudEntry& baud = kBauds[baudCode];
    if ((props->dwSettableBaud & baud.settableFlag) != 0) dcb.BaudRate = baud.rate;
    if ((props->wSettableData & DATABITS_7) != 0) dcb.ByteSize = 7;
    if ((props->wSettableStopParity & (PARITY_ODD | STOPBITS_10)) != 0) {
        dcb.Parity = ODDPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fParity = 1;
    }
    SetCommState(handle, &dcb);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(handle, &timeouts);

    std::free(props);
    return SerialOpened;
}

}  // namespace orv::platform
