// STUB, to be replaced whole by the Win32 USB device and removal watch: until
// then every USB open on Windows fails as a device that cannot be opened.
#include <cstdio>

#include "platform/usb_device.h"

namespace orv::platform {

UsbDevice* OpenUsbDevice(const char* /*name*/, char* errorText, std::size_t errorSize) {
    if (errorText != nullptr && errorSize != 0) {
        std::snprintf(errorText, errorSize, "USB devices are not available in this build");
    }
    return nullptr;
}

UsbWatch* UsbWatchStart(UsbDevice* /*device*/, const UsbWatchCallbacks& /*callbacks*/) {
    return nullptr;
}

void UsbWatchStop(UsbWatch* /*watch*/) {}

bool UsbWatchRunning(UsbWatch* /*watch*/) {
    return false;
}

void UsbWatchFree(UsbWatch* /*watch*/) {}

}  // namespace orv::platform
