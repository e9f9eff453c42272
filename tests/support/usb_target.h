// Where the USB tests' register sits. The main test program opens its
// seqpacket socket directly; the libusb test program (tests/emulated/) puts an
// emulated USB device in front of it, reached through a "usb:" name, that
// carries every transfer to that socket.
#pragma once

#include <string>

namespace orv::test {

// The name to hand Ol_Open_USB for the register listening at socketPath.
std::string UsbDeviceName(const std::string& socketPath);

// True in the libusb test program.
bool UsbEmulated();

// True when the device holds no transfer of the host and one that ran out of
// time was withdrawn by the host (always true without an emulated device).
bool UsbTimedOutTransferDiscarded();

}  // namespace orv::test
