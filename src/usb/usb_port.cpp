#include "usb/usb_port.h"

#include <cstdio>
#include <cstring>

#include "api/library.h"
#include "api/trace.h"
#include "orv_lib.h"

namespace orv::usb {

namespace {

bool CancelPending() {
    return GetCancelRequest() != 0;
}

}  // namespace

UsbPort::~UsbPort() {
    Close();
    delete device_;
}

void UsbPort::Init(const char* name, std::uint32_t timeoutMs) {
    Close();
    std::snprintf(name_, sizeof name_, "%s", name != nullptr ? name : "");
    timeoutMs_ = timeoutMs;
    ORV_TRACE("----- USB Init (DeviceName=%s) -----", name_);
}

std::uint32_t UsbPort::Open() {
    Close();
    delete device_;
    device_ = nullptr;
    ORV_TRACE("----- USB Port Open start -----");
    device_ = platform::OpenUsbDevice(name_, errorText_, sizeof errorText_);
    if (device_ == nullptr) {
        ORV_TRACE("USB Port Open failed: (%s)", errorText_);
        return OL_USB_OPEN;
    }
    ORV_TRACE("USB Port Open succeeded");
    return OL_OK;
}

void UsbPort::Close() {
    if (!IsOpen()) return;
    ORV_TRACE("----- USB Close -----");
    device_->Close();
}

std::uint32_t UsbPort::Write(const std::uint8_t* packet, std::size_t length) {
    if (hook_ != nullptr && hook_()) {
        ORV_TRACE("[cancelled by the user before a write]");
        return OL_CANCELLED;
    }
    if (!IsOpen()) return OL_USB_WRITE;
    if (length > kPacketMax) length = kPacketMax;
    std::memset(transfer_, 0, sizeof transfer_);
    transfer_[0] = static_cast<std::uint8_t>(length >> 8);
    transfer_[1] = static_cast<std::uint8_t>(length & 0xFF);
    std::memcpy(transfer_ + 2, packet, length);
    switch (device_->Write(transfer_, timeoutMs_, hook_)) {
        case platform::UsbIo::Ok:
            return OL_OK;
        case platform::UsbIo::TimedOut:
            ORV_TRACE("USB Write timed out");
            return OL_NO_ANSWER;
        case platform::UsbIo::Stopped:
            ORV_TRACE("[cancelled by the user during a write]");
            return OL_CANCELLED;
        case platform::UsbIo::Failed:
            break;
    }
    ORV_TRACE("USB Write failed: %s", device_->ErrorText());
    return OL_USB_WRITE;
}

std::uint32_t UsbPort::Read(std::uint8_t* packet, std::size_t* length, std::uint32_t timeoutMs) {
    if (!IsOpen()) return OL_USB_READ;
    std::memset(transfer_, 0, sizeof transfer_);
    std::size_t received = 0;
    const std::uint32_t wait = timeoutMs != 0 ? timeoutMs : timeoutMs_;
    switch (device_->Read(transfer_, &received, wait, CancelPending)) {
        case platform::UsbIo::Ok:
            break;
        case platform::UsbIo::TimedOut:
            ORV_TRACE("USB Read timed out (%u ms)", wait);
            return OL_NO_ANSWER;
        case platform::UsbIo::Stopped:
            ORV_TRACE("[cancelled by the user during a read]");
            return OL_CANCELLED;
        case platform::UsbIo::Failed:
            ORV_TRACE("USB Read failed: %s", device_->ErrorText());
            return OL_USB_READ;
    }
    if (received == 0) {
        *length = 0;
        return OL_OK;
    }
    // The length comes from the transfer's own field, not from the count of
    // bytes received; what the device did not deliver reads as zeros.
    const std::size_t l =
        received < 2 ? kTransferSize : (std::size_t{transfer_[0]} << 8) | transfer_[1];
    if (l > kPacketMax || (l != 0 && l < kPacketHeader)) {
        ORV_TRACE("USB Read: refused transfer of %u bytes with length field %u",
                  static_cast<unsigned>(received), static_cast<unsigned>(l));
        return OL_USB_READ;
    }
    std::memcpy(packet, transfer_ + 2, l);
    *length = l;
    return OL_OK;
}

}  // namespace orv::usb
