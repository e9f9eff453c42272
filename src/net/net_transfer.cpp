// The network transfers. Not built yet: every transfer reports that no usable
// link is open.
#include "net/net_transfer.h"

namespace orv::net {

std::uint32_t WriteFile(SendFileDesc* /*file*/) {
    return OL_NO_LINK;
}

std::uint32_t ReadFile(DataFileDesc* /*file*/) {
    return OL_NO_LINK;
}

std::uint32_t WriteRead(ExchangeRequest* /*request*/, HeaderFileDesc* /*header*/,
                        DataFileDesc* /*data*/) {
    return OL_NO_LINK;
}

}  // namespace orv::net
