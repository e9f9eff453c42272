// The register's side of the USB packet protocol, for tests and the
// simulator, with a Unix-domain seqpacket socket standing in for the device.
//
// Every message is one transfer: 1024 bytes, the packet length L (2 bytes,
// high byte first), the packet (22 header bytes, byte 2 the KIND, then the
// data), zeros. The register fills header bytes 0-1 and 4-21 of the packets
// it sends from `header`; the host echoes them back. It can also misbehave
// on purpose: empty transfers, hostile length fields, silence, and the
// disconnect that stands for the removal of the device.
//
// Not thread-safe: one thread drives one register.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orv::reg {

constexpr std::size_t kUsbTransfer = 1024;
constexpr std::size_t kUsbHeader = 22;

// Packet KINDs a register meets.
constexpr std::uint8_t kUsbRequest = 0x01;
constexpr std::uint8_t kUsbNak = 0x02;
constexpr std::uint8_t kUsbEnd = 0x81;
constexpr std::uint8_t kUsbNakEnd = 0x82;

// One packet as the register sees it.
struct UsbPacket {
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> data;
    std::array<std::uint8_t, kUsbHeader> header{};  // the whole 22-byte header
};

enum class UsbStatus {
    Ok,
    TimedOut,     // nothing arrived within the time limit
    Closed,       // the host closed the device
    BadTransfer,  // a message that is not 1024 bytes, or a length field out of range
    NotConnected,
};

const char* UsbStatusName(UsbStatus status);

class UsbRegister {
  public:
    UsbRegister();
    ~UsbRegister();
    UsbRegister(const UsbRegister&) = delete;
    UsbRegister& operator=(const UsbRegister&) = delete;

    // Listens on a seqpacket socket at path (a socket left there is replaced
    // unless something still listens on it: then errno is EADDRINUSE),
    // readable and writable by the user only. False on failure.
    bool Listen(const std::string& path);
    const std::string& Path() const { return path_; }
    // Waits up to timeoutMs for the host to open the device.
    bool Accept(int timeoutMs);
    bool Connected() const { return conn_ >= 0; }
    // Stops listening and removes the socket file.
    void StopListening();

    // Receives one transfer and decodes its packet. The whole message is kept
    // in LastTransfer().
    UsbStatus Receive(UsbPacket* packet, int timeoutMs);
    const std::vector<std::uint8_t>& LastTransfer() const { return last_; }
    // True when nothing arrives within timeoutMs (and the host did not close).
    bool Silent(int timeoutMs);

    // Sends a packet of kind with data (at most 1000 bytes).
    bool Send(std::uint8_t kind, const std::vector<std::uint8_t>& data = {});
    // Sends a zero-length transfer.
    bool SendEmpty();
    // Sends a 1024-byte transfer whose length field says length, carrying a
    // header of kind and whatever follows.
    bool SendWithLength(std::uint16_t length, std::uint8_t kind);
    bool SendRaw(const void* bytes, std::size_t count);

    // Closes the connection: to the host, the device has been removed.
    void Disconnect();

    // Header bytes 0-1 and 4-21 of every packet sent (2 and 3 are ignored).
    std::array<std::uint8_t, kUsbHeader> header{};

  private:
    int listen_ = -1;
    int conn_ = -1;
    std::string path_;
    std::vector<std::uint8_t> last_;
};

}  // namespace orv::reg
