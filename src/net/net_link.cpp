// The network link as the export frame sees it. The link starts, but the
// connection itself is not here yet: every connect fails as a refused one.
#include "api/library.h"
#include "api/link.h"

namespace orv::net {

namespace {

// StartNetworkLink cannot fail.
std::uint32_t Start() {
    SetState(StateNetworkStarted);
    SetCancelRequest(0);
    return 0;
}

std::uint32_t Connect(const void* /*record*/) {
    return OL_NO_LINK;
}

std::uint32_t Close() {
    if (!HasState(StateNetworkStarted)) return OL_BAD_STATE;
    ClearState(StateNetworkStarted);
    return OL_OK;
}

std::uint32_t Write(SendFileDesc* /*file*/) {
    return OL_NO_LINK;
}
std::uint32_t Read(DataFileDesc* /*file*/) {
    return OL_NO_LINK;
}
std::uint32_t WriteRead(ExchangeRequest* /*request*/, HeaderFileDesc* /*header*/,
                        DataFileDesc* /*data*/) {
    return OL_NO_LINK;
}

void ClearRecord() {}

}  // namespace

}  // namespace orv::net

namespace orv {

const LinkDriver kNetworkLink = {
    .kind = LinkNetwork,
    .startedBit = StateNetworkStarted,
    .start = net::Start,
    .connect = net::Connect,
    .close = net::Close,
    .write = net::Write,
    .read = net::Read,
    .writeRead = net::WriteRead,
    .echoBack = nullptr,
    .clearRecord = net::ClearRecord,
    .end = nullptr,
    .resetCells = nullptr,
};

}  // namespace orv
