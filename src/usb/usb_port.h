// The USB port: the one open USB device of the library, moving one packet per
// 1024-byte transfer. A transfer is the packet's length L (2 bytes, high byte
// first), the L packet bytes, then zeros; L is at most 1022.
//
// Write and Read wait up to their time-out in 100 ms slices. Write checks the
// cancel hook before it sends and between its slices; Read ends a wait that is
// still running when the host asks for a cancel. A timed-out or stopped
// operation has been cancelled and has ended before either returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/usb_device.h"

namespace orv::usb {

constexpr std::size_t kTransferSize = platform::kUsbTransferSize;  // 1024
constexpr std::size_t kPacketMax = kTransferSize - 2;              // 1022
constexpr std::size_t kPacketHeader = 22;
// The longest device name, without its NUL.
constexpr std::size_t kDeviceNameMax = 255;
constexpr std::uint32_t kPortTimeoutMs = 45000;

class UsbPort {
  public:
    using CancelHook = bool (*)();

    UsbPort() = default;
    // Closes the device if it is open.
    virtual ~UsbPort();
    UsbPort(const UsbPort&) = delete;
    UsbPort& operator=(const UsbPort&) = delete;

    // Closes the device if open, keeps the name (cut at 255 characters) and
    // the time-out.
    void Init(const char* name, std::uint32_t timeoutMs);
    // Opens the device: 0, or 85.
    std::uint32_t Open();
    // Sends the first length bytes of packet (at most 1022) as one transfer:
    // 0, 36 (cancel before the write or during its wait), 39 or 88.
    std::uint32_t Write(const std::uint8_t* packet, std::size_t length);
    // Receives one transfer: its packet goes to packet (kPacketMax bytes) and
    // its length to *length (0 for a zero-length transfer). timeoutMs 0 means
    // the port's time-out. 0, 36 (cancel during the wait), 39 or 87; a length
    // field of 1 to 21 or above 1022 is a failed read (87).
    std::uint32_t Read(std::uint8_t* packet, std::size_t* length, std::uint32_t timeoutMs);
    // Closes the device; may run on the removal monitor's thread while the
    // host's thread waits in Write or Read.
    void Close();
    bool IsOpen() const { return device_ != nullptr && device_->IsOpen(); }

    void SetCancelHook(CancelHook hook) { hook_ = hook; }
    CancelHook Hook() const { return hook_; }
    platform::UsbDevice* Device() const { return device_; }

  private:
    platform::UsbDevice* device_ = nullptr;
    char name_[kDeviceNameMax + 1] = {};
    std::uint32_t timeoutMs_ = 0;
    char errorText_[256] = {};
    CancelHook hook_ = nullptr;
    std::uint8_t transfer_[kTransferSize] = {};
};

}  // namespace orv::usb
