// The build without libusb: "usb:" names cannot be opened.
#include <cstdio>

#include "platform/posix/usb_libusb.h"

namespace orv::platform {

UsbDevice* OpenLibusbDevice(const char*, char* errorText, std::size_t errorSize) {
    if (errorText != nullptr && errorSize > 0) {
        std::snprintf(errorText, errorSize, "usb: names need libusb-1.0, absent from this build");
    }
    return nullptr;
}

bool IsLibusbDevice(const UsbDevice*) {
    return false;
}

bool LibusbDeviceGone(UsbDevice*, std::uint32_t) {
    return false;
}

}  // namespace orv::platform
