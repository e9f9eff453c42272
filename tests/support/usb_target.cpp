// The main test program: the register's socket is the device.
#include "support/usb_target.h"

namespace orv::test {

std::string UsbDeviceName(const std::string& socketPath) {
    return socketPath;
}

bool UsbEmulated() {
    return false;
}

bool UsbTimedOutTransferDiscarded() {
    return true;
}

}  // namespace orv::test
