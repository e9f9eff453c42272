// The serial link as the export frame sees it: Ol_Open_RS, the serial close,
// Ol_SignalWrite; the transfers and the echo exchange are serial_transfer.cpp.
#include "api/library.h"
#include "api/link.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "serial/lines.h"
#include "serial/serial_cells.h"
#include "serial/serial_exports.h"
#include "serial/serial_transfer.h"
#include "serial/timers.h"

namespace orv::serial {

namespace {

std::uint32_t Start() {
    return StartSerialSupervisor() == 0 ? 0u : static_cast<std::uint32_t>(OL_START_FAILED);
}

// The serial close: drops the lines, closes the port. The supervisor keeps
// running, idle, until the next start or Ol_End.
std::uint32_t Close() {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    RsDisconnect();
    Cells().linesNotWatched.store(0);
    RsClosePort();
    ClearState(StateSerialStarted);
    return OL_OK;
}

// Ol_Open_RS after the rules of every open: takes the record and connects.
std::uint32_t Connect(const void* record) {
    const auto* open = static_cast<const SerialOpenRecord*>(record);
    SerialCells& c = Cells();
    c.record.stationAddress = open->stationAddress;
    c.record.portNumber = open->portNumber;
    c.record.baudCode = open->baudCode;
    c.record.lineMode = open->lineMode;
    // The first 6 characters of the address, NUL-padded; a null address is
    // taken as an empty one.
    for (int i = 0; i < 7; ++i) c.stationAddress[i] = '\0';
    if (open->stationAddress != nullptr) {
        for (int i = 0; i < 6 && open->stationAddress[i] != '\0'; ++i) {
            c.stationAddress[i] = open->stationAddress[i];
        }
    }
    c.record.stationAddress = c.stationAddress;
    ORV_TRACE("Ol_Open_RS: COM%u, baud code %u, line mode %u as given, station \"%s\"",
              open->portNumber, open->baudCode, open->lineMode, c.stationAddress);

    if (c.record.lineMode == 2) {
        c.record.lineMode = 1;
        c.linesNotWatched.store(1);
    } else {
        c.linesNotWatched.store(0);
    }
    std::uint32_t status = RsConnect(static_cast<std::int32_t>(c.record.lineMode),
                                     static_cast<std::int32_t>(c.record.baudCode),
                                     static_cast<std::int32_t>(c.record.portNumber));
    if (status == 0) return OL_OK;
    ORV_TRACE("Ol_Open_RS: connect failed with 0x%X", status);
    // A port that never opened changes nothing more; one that did is closed
    // again, so that the host can retry the open at once.
    if (!RsPortOpen()) return OL_NO_LINK;
    (void)Close();
    Core().openLink.store(LinkNone);
    return OL_NO_LINK;
}

void ClearRecord() {
    SerialCells& c = Cells();
    c.record = SerialRecordCopy{};
}

void End() {
    (void)StopSerialSupervisor();
}

}  // namespace

std::uint32_t SignalWrite(std::uint32_t lines) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    if (Core().openLink.load() != LinkSerial) return OL_NO_LINK;
    ORV_TRACE("Ol_SignalWrite: 0x%X", lines);
    if ((lines & 1u) != 0) {
        RsRaiseDtr();
    } else {
        RsDropDtr();
    }
    if ((lines & 2u) != 0) {
        RsRaiseRts();
    } else {
        RsDropRts();
    }
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
    .write = serial::WriteFile,
    .read = serial::ReadFile,
    .writeRead = serial::WriteRead,
    .echoBack = serial::EchoBack,
    .clearRecord = serial::ClearRecord,
    .end = serial::End,
    .resetCells = serial::ResetCells,
};

}  // namespace orv
