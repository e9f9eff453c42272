// The serial link as the export frame sees it. The port, the line supervisor
// and the transfers are not here yet: the link starts, but every connect fails
// as a port that does not open would.
#include "api/library.h"
#include "api/link.h"
#include "api/result_codes.h"
#include "serial/serial_exports.h"

namespace orv::serial {

namespace {

std::uint32_t Start() {
    SetCancelRequest(0);
    SetLineMode(1);
    SetState(StateSerialStarted);
    return 0;
}

std::uint32_t Connect(const void* /*record*/) {
    return OL_NO_LINK;
}

std::uint32_t Close() {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    ClearState(StateSerialStarted);
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
std::uint32_t EchoBack(ExchangeRequest* /*request*/, SendFileDesc* /*sendFile*/,
                       DataFileDesc* /*receiveFile*/) {
    return OL_NO_LINK;
}

void ClearRecord() {}

}  // namespace

std::uint32_t SignalWrite(std::uint32_t /*lines*/) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    if (Core().openLink.load() != LinkSerial) return OL_NO_LINK;
    return OL_OK;
}

}  // namespace orv::serial

namespace orv {

const LinkDriver kSerialLink = {
    .kind = LinkSerial,
    .startedBit = StateSerialStarted,
    .start = serial::Start,
    .connect = serial::Connect,
    .close = serial::Close,
    .write = serial::Write,
    .read = serial::Read,
    .writeRead = serial::WriteRead,
    .echoBack = serial::EchoBack,
    .clearRecord = serial::ClearRecord,
    .end = nullptr,
    .resetCells = nullptr,
};

}  // namespace orv
