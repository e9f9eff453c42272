// The RS-232 port of the OS layer: open and configure a COM port, move single
// bytes, switch DTR and RTS, read the modem status.
//
// One implementation per OS (win32/serial_port.cpp, posix/serial_port.cpp);
// the test build can also hand out ports of its own (virtual null modems)
// through a factory keyed by port number.
#pragma once

#include <cstdint>

namespace orv::platform {

// Modem status bits, as Windows reports them.
enum ModemStatusBits : std::uint32_t {
    ModemCtsOn = 0x10,
    ModemDsrOn = 0x20,
    ModemRingOn = 0x40,
    ModemRlsdOn = 0x80,
};

// Statuses of OpenSerialPort.
enum SerialOpenStatus : std::uint32_t {
    SerialOpened = 0,
    SerialOpenFailed = 71,   // the device did not open, or reports no properties
    SerialNotSettable = 72,  // none of the port's parameters can be set
};

// Error code reported for a write that fails where the OS gives no code of the
// Windows family (ERROR_WRITE_FAULT).
constexpr std::uint32_t kErrorWriteFault = 29;

// An open port. Reads, writes and line switches may come from the application
// thread while the line supervisor reads the modem status.
class SerialPort {
  public:
    SerialPort() = default;
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Reads one byte. Returns at once with a byte that is already buffered;
    // otherwise blocks up to waitMs protocol milliseconds (RealWaitMs) for one
    // to arrive. 1: a byte, 0: nothing came, -1: the read failed (after the
    // wait, so that a broken device is not polled in a tight loop).
    virtual int ReadByte(std::uint8_t* byte, std::uint32_t waitMs) = 0;

    // Writes one byte. 1: taken; 0: not taken, after waiting up to waitMs
    // protocol milliseconds for room; -1: the write failed, *error holds the
    // error code (never 0).
    virtual int WriteByte(std::uint8_t byte, std::uint32_t waitMs, std::uint32_t* error) = 0;

    // Waits up to waitMs protocol milliseconds until every byte written has
    // left the port. 1: gone, or the port cannot tell; 0: some still queued.
    // A port whose writes return only once the byte is sent reports 1 at once.
    virtual int WaitSent(std::uint32_t waitMs) = 0;

    virtual void SetDtr(bool on) = 0;
    virtual void SetRts(bool on) = 0;

    // The ModemStatusBits that are on; 0 when the query fails.
    virtual std::uint32_t ModemStatus() = 0;

    // Discards what has been received and not yet read.
    virtual void PurgeInput() = 0;
};

// Opens COM port portNumber and configures it for baud code 0..6 (2400 to
// 115200 bit/s; the caller has checked the range), 7 data bits, odd parity
// with parity checking, 1 stop bit, reads that return at once.
// *port receives the port whenever the device opened, also when a later step
// fails (71 or 72): the caller then closes it (delete). Null when it did not.
std::uint32_t OpenSerialPort(std::int32_t baudCode, std::int32_t portNumber, SerialPort** port);

// The same for the OS's own ports only; implemented once per OS.
std::uint32_t OpenSystemSerialPort(std::int32_t baudCode, std::int32_t portNumber,
                                   SerialPort** port);

#if defined(ORV_LIB_TESTING)
// Test build: a factory consulted before the OS's ports. It returns true when
// it handles portNumber, with the status and *port set as OpenSerialPort would.
using SerialPortFactory = bool (*)(std::int32_t baudCode, std::int32_t portNumber,
                                   SerialPort** port, std::uint32_t* status);
void SetSerialPortFactory(SerialPortFactory factory);
#endif

}  // namespace orv::platform
