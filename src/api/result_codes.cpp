#include "api/result_codes.h"

namespace orv {

std::uint32_t MapLinkStatus(std::uint32_t status) {
    struct Pair {
        std::uint32_t status;
        std::uint32_t result;
    };
    static constexpr Pair kPairs[] = {
        {LinkDone, OL_OK},
        {LinkEot, OL_EOT},
        {LinkNoAnswer, OL_NO_ANSWER},
        {LineDown, OL_LINE_DOWN},
        {DsrLost, OL_DSR_LOST},
        {CarrierLost, OL_CARRIER_LOST},
        {CarrierBusy, OL_CARRIER_BUSY},
        {CtsTimeout, OL_CTS_TIMEOUT},
        {CancelRequested, OL_CANCELLED},
    };
    for (const Pair& pair : kPairs) {
        if (pair.status == status) return pair.result;
    }
    return status;
}

}  // namespace orv
