// The USB link's library-wide cells: the device name of the open, the one USB
// port, the removal monitor's run cell and watch, and the lock through which
// the monitor reaches the port.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "platform/usb_device.h"
#include "usb/usb_port.h"

namespace orv::usb {

// Values of the monitor's run cell.
enum RunValue : std::int32_t {
    RunStopped = 0,
    RunStarting = -1,
    RunNotArmed = 1,  // watching, but removals are not acted upon
    RunArmed = 2,     // removals close the device
};

struct UsbCells {
    char deviceName[kDeviceNameMax + 1] = {};
    std::uint32_t timeoutMs = 0;
    // Created by the open, destroyed by the USB close (or a failed open), only
    // on the host's thread and only under portLock; the monitor's thread
    // reaches it only under portLock.
    UsbPort* port = nullptr;
    platform::LocalMutex portLock;
    std::atomic<std::int32_t> run{RunStopped};
    platform::UsbWatch* watch = nullptr;
};

UsbCells& Usb();

// Returns the cells to their value at load; closes a link left open.
void ResetCells();

#if defined(ORV_LIB_TESTING)
namespace testing {
// Whether a USB port exists with its device open.
bool DeviceOpen();
// The open device's OS handle (HANDLE or descriptor), -1 without one.
std::intptr_t DeviceHandle();
std::int32_t RunValue();
void SetRunValue(std::int32_t value);
// How many removals the monitor has been told of (acted upon or not).
std::uint32_t RemovalReports();
}  // namespace testing
#endif

}  // namespace orv::usb
