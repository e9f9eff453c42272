#include "api/link.h"

namespace orv {

const LinkDriver* const kAllLinks[3] = {&kSerialLink, &kNetworkLink, &kUsbLink};

const LinkDriver* DriverFor(std::uint32_t kind) {
    switch (kind) {
        case LinkSerial:
            return &kSerialLink;
        case LinkNetwork:
            return &kNetworkLink;
        case LinkUsb:
            return &kUsbLink;
        default:
            return nullptr;
    }
}

std::uint32_t OpenLinkWith(const LinkDriver& driver, const void* record) {
    // Only one kind of link may be started at a time.
    constexpr std::uint32_t kAnyStarted =
        StateSerialStarted | StateNetworkStarted | StateUsbStarted;
    if (!HasState(StateInitialised) || HasState(kAnyStarted & ~driver.startedBit)) {
        return OL_BAD_STATE;
    }
    if (!HasState(driver.startedBit)) {
        std::uint32_t rc = driver.start();
        if (rc != 0) return rc;
    }
    if (Core().openLink.load() == driver.kind) return OL_ALREADY_OPEN;
    if (record == nullptr) return OL_NO_LINK;
    std::uint32_t rc = driver.connect(record);
    if (rc == 0) Core().openLink.store(driver.kind);
    return rc;
}

}  // namespace orv
