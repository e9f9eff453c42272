// Where a reply is awaited: every packet sent with data or as a request is
// followed by one received packet; the command of a receiving exchange, the
// acknowledgements between the files of a series and between the lines of a
// reply file, NAK, NAK & END and END are sent without reading a reply.
//
// A failure of Ol_WriteRead goes through UsbAbort, which tells the register
// NAK & END only for a cancel (36) or a file failure (3, 4). Ol_Write and
// Ol_Read never send an abort packet. Every file is a transfer::File, closed
// on every path; the close of a file being written is checked (a failed close
// is a short write).
#include "usb/usb_transfer.h"

#include <cstring>

#include "api/library.h"
#include "api/trace.h"
#include "transfer/files.h"
#include "transfer/header.h"
#include "transfer/hex.h"
#include "transfer/records.h"
#include "transfer/series.h"
#include "usb/usb_packet.h"
#include "usb/usb_port.h"

namespace orv::usb {

namespace {

using transfer::File;

constexpr std::size_t kLineLimit = 2000;
constexpr std::size_t kHeaderPacketMin = kPacketHeader + transfer::kHeaderTagLength;  // 28

std::size_t DataLength(std::size_t packetLength) {
    return packetLength > kPacketHeader ? packetLength - kPacketHeader : 0;
}

// Selection by the request's selection word: 0 and 1 drain stale packets and
// select; any other value selects nothing. A selection answered with anything
// but KIND 0x01 is refused with NAK (86).
std::uint32_t Select(std::uint32_t selection) {
    if (selection != 0 && selection != 1) return OL_OK;
    UsbDrain();
    const std::uint8_t kind =
        selection == 0 ? std::uint8_t{KindSelectAll} : std::uint8_t{KindRequest};
    const std::uint32_t rc = UsbExchange(kind, 0, nullptr);
    if (rc != OL_OK) return rc;
    if (PacketKind() != KindRequest) {
        ORV_TRACE("USB selection answered with KIND %02X", PacketKind());
        UsbSendNak();
        return OL_USB_BAD_OPEN;
    }
    return OL_OK;
}

// The command, cut at its first CR: answered when the PC sends, not when it
// receives.
std::uint32_t SendCommand(char* command, bool sending) {
    std::size_t length = transfer::CutCommand(command);
    if (length > kPacketData - 1) length = kPacketData - 1;
    std::memcpy(PacketData(), command, length);
    PacketData()[length] = 0;
    if (sending) {
        const std::uint32_t rc = UsbExchange(transfer::BlockCommand, length, nullptr);
        return rc == OL_OK ? rc : UsbAbort(rc);
    }
    const std::uint32_t rc = UsbSendPacket(transfer::BlockCommand, 0, length);
    if (rc == OL_OK) return rc;
    UsbDrain();
    return UsbAbort(rc);
}

// A line file: every line (pieces of 2000 characters) is one packet of the
// bytes its hex text makes, 'E' on the line that the end of the file follows.
std::uint32_t SendLineFile(const DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeRead)) return UsbAbort(OL_DATA_FILE);
    char line[kLineLimit + 1];
    std::size_t length = 0;
    while (transfer::ReadTextLine(file, line, kLineLimit, &length)) {
        const bool last = file.AtEnd();
        const std::size_t bytes = length / 2;
        HexToBytes(line, PacketData(), static_cast<std::int32_t>(bytes));
        const std::uint32_t rc = UsbExchange(transfer::LineBlockType(last), bytes, nullptr);
        if (rc != OL_OK) return UsbAbort(rc);
        if (last) return OL_OK;
    }
    return OL_OK;
}

// A series: per file its header packet, then its data packets, each answered.
class UsbSeries final : public transfer::SeriesLink {
  public:
    UsbSeries() : SeriesLink("USB send", PacketData(), kPacketData) {}
    std::uint32_t SendHeader(std::uint8_t type, std::size_t length) override {
        return UsbExchange(type, length, nullptr);
    }
    std::uint32_t SendData(std::uint8_t type, std::size_t length) override {
        return UsbExchange(type, length, nullptr);
    }
};

std::uint32_t SendSeries(const HeaderFileDesc& header, const DataFileDesc* data) {
    std::uint32_t rc = transfer::PrepareSendHeader(header, LinkUsb, PacketData());
    if (rc == OL_OK && data != nullptr) {
        UsbSeries link;
        rc = transfer::SendSeriesFiles(*data, link);
    }
    return rc == OL_OK ? rc : UsbAbort(rc);
}

// Without a header file: every packet is a line of the reply file, written by
// the low four bits of its KIND, up to the last; each but the last is
// acknowledged.
std::uint32_t ReceiveReplyFile(const ExchangeRequest& request, DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeCreate)) {
        UsbDrain();
        return UsbAbort(OL_DATA_FILE);
    }
    for (;;) {
        std::size_t length = 0;
        const std::uint32_t rc = UsbReceivePacket(&length);
        if (rc != OL_OK) return UsbAbort(rc);
        const std::uint8_t kind = PacketKind();
        if (transfer::WriteBlockReplyLine(file, kind, PacketData(), DataLength(length),
                                          &data.byteCount) != OL_OK) {
            return UsbAbort(OL_DATA_FILE);
        }
        if (transfer::IsLastBlock(kind)) {
            if (transfer::CloseWrittenFile(file) != OL_OK) return UsbAbort(OL_DATA_FILE);
            return UsbFinish(request.endPause);
        }
        (void)UsbSendPacket(KindRequest, 0, 0);
    }
}

// The data packets of one received file, each requested, up to the last.
std::uint32_t ReceiveDataFile(DataFileDesc& data) {
    const transfer::TransferHeader h = transfer::State().header;
    File file;
    if (!transfer::OpenNumbered(file, data.path, h.fileNumber, transfer::kModeCreate)) {
        return UsbAbort(OL_DATA_FILE);
    }
    transfer::DataFileWriter writer(file, data.csv != 0, h, transfer::State().layout,
                                    &data.byteCount);
    for (;;) {
        std::size_t length = 0;
        const std::uint32_t rc = UsbExchange(KindRequest, 0, &length);
        if (rc != OL_OK) return UsbAbort(rc);
        // A packet without data is not written, and does not end the file
        // whatever its KIND: the next one is requested at once.
        const std::size_t n = DataLength(length);
        if (n == 0) continue;
        if (n < transfer::kBlockPrefix) {
            ORV_TRACE("USB receive: data packet of %u bytes has no whole prefix",
                      static_cast<unsigned>(n));
            return UsbAbort(OL_USB_READ);
        }
        if (writer.WriteDataBlock(PacketData(), n) != OL_OK) {
            return UsbAbort(OL_DATA_FILE);
        }
        if (transfer::IsLastBlock(PacketKind())) break;
    }
    if (transfer::CloseWrittenFile(file) != OL_OK) return UsbAbort(OL_DATA_FILE);
    return OL_OK;
}

// With a header file: per file a header packet (awaited, not requested), then
// its data packets; only the first header goes to the header file. The series
// ends after the file numbered lastFileNumber or led by a 'C' header.
std::uint32_t ReceiveSeries(const ExchangeRequest& request, const HeaderFileDesc& header,
                            DataFileDesc* data) {
    if (data != nullptr) data->byteCount = 0;
    std::size_t length = 0;
    std::uint32_t rc = UsbReceivePacket(&length);
    for (bool first = true;; first = false) {
        if (rc != OL_OK) return UsbAbort(rc);
        const std::uint8_t headerKind = PacketKind();
        if (length < kHeaderPacketMin ||
            transfer::AcceptHeader(PacketData(), DataLength(length), LinkUsb) != OL_OK) {
            ORV_TRACE("USB receive: packet of KIND %02X is not an acceptable header", headerKind);
            return UsbAbort(OL_NOT_HEADER);
        }
        if (first) {
            rc = transfer::WriteHeaderFile(header);
            if (rc != OL_OK) return UsbAbort(rc);
        }
        if (data == nullptr) return UsbFinish(request.endPause);
        rc = ReceiveDataFile(*data);
        if (rc != OL_OK) return rc;
        const transfer::TransferHeader& h = transfer::State().header;
        if (h.fileNumber >= h.lastFileNumber || headerKind == transfer::BlockLastHeader) {
            return UsbFinish(request.endPause);
        }
        (void)UsbSendPacket(KindRequest, 0, 0);
        rc = UsbReceivePacket(&length);
    }
}

}  // namespace

std::uint32_t UsbWriteFile(SendFileDesc* file) {
    if (!HasState(StateUsbStarted)) return OL_BAD_STATE;
    if (file == nullptr) return OL_OK;
    File in;
    if (!in.Open(file->path, transfer::kModeRead)) return OL_DATA_FILE;
    ORV_TRACE("Ol_Write: USB, file %s", file->path);
    for (;;) {
        const std::size_t n = in.Read(PacketData(), kPacketData);
        const bool last = in.AtEnd();
        const std::uint32_t rc = UsbExchange(transfer::DataBlockType(last), n, nullptr);
        if (rc != OL_OK) return rc;
        if (last) return OL_OK;
    }
}

std::uint32_t UsbReadFile(DataFileDesc* file) {
    if (!HasState(StateUsbStarted)) return OL_BAD_STATE;
    if (file == nullptr) return OL_OK;
    File out;
    if (!out.Open(file->path, transfer::kModeCreate)) return OL_DATA_FILE;
    ORV_TRACE("Ol_Read: USB, file %s", file->path);
    file->byteCount = 0;
    for (;;) {
        std::size_t length = 0;
        const std::uint32_t rc = UsbExchange(KindRequest, 0, &length);
        if (rc != OL_OK) return rc;
        if (transfer::WriteRecordLine(out, PacketData(), DataLength(length), &file->byteCount) !=
            OL_OK) {
            return OL_DATA_FILE;
        }
        if (transfer::IsLastBlock(PacketKind())) break;
    }
    return transfer::CloseWrittenFile(out);
}

std::uint32_t UsbWriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data) {
    if (!HasState(StateUsbStarted)) return OL_BAD_STATE;
    const bool sending = request->direction == 1;
    ORV_TRACE("Ol_WriteRead: USB, %s, selection %u", sending ? "sending" : "receiving",
              request->selection);
    std::uint32_t rc = Select(request->selection);
    if (rc != OL_OK) return rc;
    if (request->command != nullptr) {
        rc = SendCommand(request->command, sending);
        if (rc != OL_OK) return rc;
    }
    if (sending) {
        if (header != nullptr) {
            rc = SendSeries(*header, data);
        } else if (data != nullptr) {
            rc = SendLineFile(*data);
        }
        if (rc != OL_OK) return rc;
        if (request->endPause == 1) return UsbFinish(1);
        return UsbSendPacket(KindEnd, 0, 0);
    }
    if (header != nullptr) return ReceiveSeries(*request, *header, data);
    if (data == nullptr) {
        UsbDrain();
        return UsbAbort(OL_DATA_FILE);
    }
    return ReceiveReplyFile(*request, *data);
}

}  // namespace orv::usb
