// USB devices reached through libusb-1.0 ("usb:VVVV:PPPP[:SERIAL]" names), for
// Linux hosts whose register has no kernel driver of its own. Built only when
// configure found libusb; otherwise every such name fails to open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/usb_device.h"

namespace orv::platform {

// Copies text into out (size bytes, cut to fit, always terminated); nothing
// when out is null or size is 0. For the error texts of both POSIX devices.
inline void CopyText(char* out, std::size_t size, const char* text) {
    if (out == nullptr || size == 0) return;
    std::snprintf(out, size, "%s", text);
}

// Opens the device that ids ("VVVV:PPPP" or "VVVV:PPPP:SERIAL", the text after
// "usb:") designates. Null when it does not open; errorText says why.
UsbDevice* OpenLibusbDevice(const char* ids, char* errorText, std::size_t errorSize);

// True when device came from OpenLibusbDevice.
bool IsLibusbDevice(const UsbDevice* device);

// One slice of the removal watch for such a device: runs libusb's events for
// realMs real milliseconds (hotplug reports arrive there) and says whether
// the device is known to have left.
bool LibusbDeviceGone(UsbDevice* device, std::uint32_t realMs);

}  // namespace orv::platform
