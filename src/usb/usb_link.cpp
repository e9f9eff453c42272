// The USB link as the export frame sees it. The device layer is not here yet:
// every open fails as a device that cannot be opened.
#include "api/library.h"
#include "api/link.h"

namespace orv::usb {

namespace {

// The USB link has no start of its own; its bit is set by a successful open.
std::uint32_t Start() {
    return 0;
}

std::uint32_t Connect(const void* /*record*/) {
    return OL_USB_OPEN;
}

std::uint32_t Close() {
    if (!HasState(StateUsbStarted)) return OL_BAD_STATE;
    ClearState(StateUsbStarted);
    return OL_OK;
}

std::uint32_t Write(SendFileDesc* /*file*/) {
    return OL_USB_WRITE;
}
std::uint32_t Read(DataFileDesc* /*file*/) {
    return OL_USB_READ;
}
std::uint32_t WriteRead(ExchangeRequest* /*request*/, HeaderFileDesc* /*header*/,
                        DataFileDesc* /*data*/) {
    return OL_USB_READ;
}

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
    .write = usb::Write,
    .read = usb::Read,
    .writeRead = usb::WriteRead,
    .echoBack = nullptr,
    .clearRecord = usb::ClearRecord,
    .end = nullptr,
    .resetCells = nullptr,
};

}  // namespace orv
