// The USB link as the export frame sees it: Ol_Open_USB, the USB close, the
// dispatch of the transfers, and the link's cells.
#include <cstring>
#include <new>

#include "api/library.h"
#include "api/link.h"
#include "api/trace.h"
#include "usb/usb_cells.h"
#include "usb/usb_monitor.h"
#include "usb/usb_packet.h"
#include "usb/usb_transfer.h"

namespace orv::usb {

UsbCells& Usb() {
    static UsbCells cells;
    return cells;
}

void ResetCells() {
    (void)CloseUsb();
    UsbCells& cells = Usb();
    cells.run.store(RunStopped);
    std::memset(cells.deviceName, 0, sizeof cells.deviceName);
    cells.timeoutMs = 0;
    ResetPacketBuffer();
}

#if defined(ORV_LIB_TESTING)
namespace testing {
bool DeviceOpen() {
    platform::LocalLock lock(Usb().portLock);
    return Usb().port != nullptr && Usb().port->IsOpen();
}
std::intptr_t DeviceHandle() {
    platform::LocalLock lock(Usb().portLock);
    if (Usb().port == nullptr || Usb().port->Device() == nullptr) return -1;
    return Usb().port->Device()->NativeHandle();
}
std::int32_t RunValue() {
    return Usb().run.load();
}
void SetRunValue(std::int32_t value) {
    Usb().run.store(value);
}
}  // namespace testing
#endif

namespace {

bool CancelPending() {
    return GetCancelRequest() != 0;
}

// The USB link has no start of its own; its bit is set by a successful open.
std::uint32_t Start() {
    return 0;
}

// Ol_Open_USB from the copy of the device name on. A name that does not fit
// (more than 255 characters) fails like a device that does not open, before
// anything is opened.
std::uint32_t Connect(const void* record) {
    const char* name = static_cast<const UsbOpenRecord*>(record)->deviceName;
    UsbCells& cells = Usb();
    if (name == nullptr || std::strlen(name) > kDeviceNameMax) {
        ORV_TRACE("Ol_Open_USB: no device name, or one of more than 255 characters");
        return OL_USB_OPEN;
    }
    std::memcpy(cells.deviceName, name, std::strlen(name) + 1);
    cells.timeoutMs = kPortTimeoutMs;
    auto* port = new (std::nothrow) UsbPort();
    if (port == nullptr) return OL_USB_OPEN;
    {
        platform::LocalLock lock(cells.portLock);
        cells.port = port;
    }
    port->Init(cells.deviceName, cells.timeoutMs);
    port->SetCancelHook(CancelPending);
    if (port->Open() != OL_OK) {
        platform::LocalLock lock(cells.portLock);
        delete cells.port;
        cells.port = nullptr;
        return OL_USB_OPEN;
    }
    SetCancelRequest(0);
    return StartMonitor();
}

std::uint32_t Close() {
    return CloseUsb();
}

std::uint32_t WriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data) {
    UsbCells& cells = Usb();
    cells.run.store(RunNotArmed);
    const std::uint32_t rc = UsbWriteRead(request, header, data);
    cells.run.store(RunArmed);
    return rc;
}

// The open record is not kept beyond the open.
void ClearRecord() {}

}  // namespace

}  // namespace orv::usb

namespace orv {

const LinkDriver kUsbLink = {
    .kind = LinkUsb,
    .startedBit = StateUsbStarted,
    .start = usb::Start,
    .connect = usb::Connect,
    .close = usb::Close,
    .write = usb::UsbWriteFile,
    .read = usb::UsbReadFile,
    .writeRead = usb::WriteRead,
    .echoBack = nullptr,
    .clearRecord = usb::ClearRecord,
    .end = nullptr,
    .resetCells = usb::ResetCells,
};

}  // namespace orv
