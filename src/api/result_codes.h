// Result codes returned to the host, and the statuses of the serial link
// procedures that are mapped onto them on the way out.
#pragma once

#include <cstdint>

#include "orv_lib.h"

namespace orv {

// Statuses of the serial link procedures. Any other value is a system error
// code of a failed write to the port.
enum LinkStatus : std::uint32_t {
    LinkDone = 0,
    LinkEot = 1,
    LinkNoAnswer = 2,
    LineDown = 0x100,
    DsrLost = 0x200,
    CarrierLost = 0x300,
    CarrierBusy = 0x400,
    CtsTimeout = 0x500,
    CancelRequested = 0x1000,
};

// Turns a serial link status into the result code the host sees; a status
// without a pair (a system error code) passes unchanged.
std::uint32_t MapLinkStatus(std::uint32_t status);

}  // namespace orv
