// What both OS sides of the USB device share.
#include "platform/usb_device.h"

namespace orv::platform {

UsbDevice::~UsbDevice() = default;

}  // namespace orv::platform
