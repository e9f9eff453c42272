// The serial transfers: each export is a fixed sequence of the link
// procedures (procedures.h) around the transfer files (transfer/). On the line
// every record is text; headers and table data travel as hex characters.
//
// A link status met on the way is returned as MapLinkStatus of it. A line or
// data record that fails while the PC sends ends the failed send: after the
// register's EOT (37) the PC pauses 1000 ms and sends nothing more, after any
// other failure it sends EOT itself. Every file is a transfer::File, closed on
// every path; what was written before a failure stays in the file.
#include "serial/serial_transfer.h"

#include <cstddef>
#include <cstring>

#include "api/library.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "platform/clock.h"
#include "serial/procedures.h"
#include "serial/serial_cells.h"
#include "transfer/files.h"
#include "transfer/header.h"
#include "transfer/records.h"
#include "transfer/series.h"

namespace orv::serial {

namespace {

using transfer::File;

constexpr std::uint32_t kEndPauseMs = 500;        // closing by a pause
constexpr std::uint32_t kAfterEotPauseMs = 1000;  // a send the register ended with EOT
constexpr std::uint32_t kLinePauseMs = 1;         // after each line of a line file
// Lines of line files and Ol_Write files are read as fgets reads them with
// this size: at most 999 characters, line end included.
constexpr std::size_t kLineReadSize = 1000;
// Ol_EchoBack sends at most this many bytes of its send file.
constexpr std::size_t kEchoSendMax = 250;

// The record buffer: every line, header record and data record is built here
// before it is sent, and every received record (at most kRecordDataMax bytes)
// is delivered here. The longest record is 1000 characters; a line read as
// fgets reads it needs its NUL as well.
static_assert(transfer::kSerialRecordMax == static_cast<std::size_t>(kRecordDataMax));
std::uint8_t g_record[transfer::kSerialRecordMax + 1];

char* RecordText() {
    return reinterpret_cast<char*>(g_record);
}

// Lengths handed to the procedures. Records are at most 1000 characters; a
// longer command is cut to what a frame holds.
std::int32_t ToLength(std::size_t n) {
    const auto most = static_cast<std::size_t>(kMaxFrameData);
    return static_cast<std::int32_t>(n < most ? n : most);
}

std::size_t ToSize(std::int32_t n) {
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Ends a send that failed with status; the caller's file closes after it.
std::uint32_t EndFailedSend(std::uint32_t status) {
    const std::uint32_t rc = MapLinkStatus(status);
    ORV_TRACE("serial send failed with %u", rc);
    if (rc == OL_EOT) {
        platform::SleepMs(kAfterEotPauseMs);
    } else {
        (void)RsSendEot();
    }
    return rc;
}

// Opens the line by the request's selection (0 select, 1 bid, 2 neither) and
// sends the command, cut in place at its first CR, as one record.
std::uint32_t SendCommand(ExchangeRequest& request) {
    std::uint32_t status = 0;
    switch (request.selection) {
        case 0:
            status = RsSelect(Cells().stationAddress, request.selectTimeout, request.selectRetries);
            break;
        case 1:
            status = RsBid(request.timeout, request.retries);
            break;
        case 2:
            break;
        default:
            ORV_TRACE("serial: selection %u out of range", request.selection);
            return OL_BAD_STATE;
    }
    if (status != 0) return MapLinkStatus(status);
    const std::size_t length = transfer::CutCommand(request.command);
    status = RsSendRecord(reinterpret_cast<const std::uint8_t*>(request.command), ToLength(length),
                          request.timeout, request.retries);
    return MapLinkStatus(status);
}

// A line file: every line is one record, with a 1 ms pause after each.
std::uint32_t SendLineFile(const ExchangeRequest& request, const DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeRead)) {
        (void)RsSendEot();
        return OL_DATA_FILE;
    }
    std::size_t length = 0;
    while (transfer::ReadLineRaw(file, RecordText(), kLineReadSize, &length)) {
        const std::uint32_t status =
            RsSendRecord(g_record, ToLength(length), request.timeout, request.retries);
        if (status != 0) return EndFailedSend(status);
        platform::SleepMs(kLinePauseMs);
    }
    file.Close();
    return OL_OK;
}

// A series: per numbered file that opens, its header record and its data
// records. Missing files are skipped.
class SerialSeries final : public transfer::SeriesLink {
  public:
    explicit SerialSeries(const ExchangeRequest& request)
        : SeriesLink("serial send", g_record, sizeof g_record), request_(request) {}
    std::size_t NextData(transfer::DataRecordReader& reader, bool* last) override {
        return transfer::NextSerialRecord(reader, RecordText(), sizeof g_record, last);
    }
    std::uint32_t SendHeader(std::uint8_t, std::size_t length) override {
        // A failed header record sends no EOT of its own.
        return MapLinkStatus(Send(length));
    }
    std::uint32_t SendData(std::uint8_t, std::size_t length) override {
        const std::uint32_t status = Send(length);
        if (status != 0) return EndFailedSend(status);
        return OL_OK;
    }

  private:
    std::uint32_t Send(std::size_t length) {
        return RsSendRecord(g_record, ToLength(length), request_.timeout, request_.retries);
    }
    const ExchangeRequest& request_;
};

std::uint32_t SendSeries(const ExchangeRequest& request, const HeaderFileDesc& header,
                         const DataFileDesc* data) {
    const std::uint32_t rc = transfer::PrepareSendHeader(header, LinkSerial, g_record);
    if (rc != OL_OK) {
        ORV_TRACE("serial send: header file refused with %u", rc);
        (void)RsSendEot();
        return rc;
    }
    if (data == nullptr) return OL_OK;
    SerialSeries link(request);
    return transfer::SendSeriesFiles(*data, link);
}

// The end of a sending exchange: a pause, a bare EOT, or EOT and the
// register's ACK.
std::uint32_t Closing(const ExchangeRequest& request) {
    if (request.endPause == 1) {
        platform::SleepMs(kEndPauseMs);
        return OL_OK;
    }
    const std::uint32_t status =
        request.closeMode != 0 ? RsSendEot() : RsEndWithAck(request.timeout, request.retries);
    return MapLinkStatus(status);
}

// Without a header file: every record is a line of the reply file, up to the
// register's EOT. byteCount goes on from the host's value.
std::uint32_t ReceiveReplyFile(DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeCreate)) return OL_DATA_FILE;
    for (;;) {
        std::int32_t length = 0;
        const std::uint32_t status = RsRecvRecord(g_record, &length, data.timeout);
        if (status == LinkEot) break;
        if (status != 0) return MapLinkStatus(status);
        if (transfer::WriteRecordLine(file, g_record, ToSize(length), &data.byteCount) != OL_OK) {
            return OL_DATA_FILE;
        }
    }
    return transfer::CloseWrittenFile(file);
}

// With a header file: per file a header record, then its data records up to
// the one marked last; the first header goes to the header file. The
// register's EOT where a header is awaited ends the series.
std::uint32_t ReceiveSeries(const HeaderFileDesc& header, DataFileDesc* data) {
    if (data != nullptr) data->byteCount = 0;
    for (bool first = true;; first = false) {
        std::int32_t length = 0;
        std::uint32_t status = RsRecvRecord(g_record, &length, header.timeout);
        if (status == LinkEot) return OL_OK;
        if (status != 0) return MapLinkStatus(status);
        if (transfer::AcceptHeader(RecordText(), ToSize(length), LinkSerial) != OL_OK) {
            ORV_TRACE("serial recv: record of %d characters is not an acceptable header", length);
            return OL_NOT_HEADER;
        }
        if (first) {
            const std::uint32_t rc = transfer::WriteHeaderFile(header);
            if (rc != OL_OK) return rc;
        }
        if (data == nullptr) return OL_OK;

        const transfer::TransferHeader h = transfer::State().header;
        File file;
        if (!transfer::OpenNumbered(file, data->path, h.fileNumber, transfer::kModeCreate)) {
            ORV_TRACE("serial recv: data file %u cannot be created", h.fileNumber);
            (void)RsSendEot();
            return OL_DATA_FILE;
        }
        transfer::DataFileWriter writer(file, data->csv != 0, h, transfer::State().layout,
                                        &data->byteCount);
        for (bool last = false; !last;) {
            status = RsRecvRecord(g_record, &length, data->timeout);
            if (status != 0) return MapLinkStatus(status);  // EOT included: 37
            if (writer.WriteSerialRecord(RecordText(), ToSize(length), &last) != OL_OK) {
                return OL_DATA_FILE;
            }
        }
        if (transfer::CloseWrittenFile(file) != OL_OK) return OL_DATA_FILE;
    }
}

}  // namespace

// Ol_Write: every line of the file as one record, no selection and no
// command first (the digits go on from the last exchange), then EOT.
std::uint32_t WriteFile(SendFileDesc* file) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    ORV_TRACE("Ol_Write: serial, file %s", file->path != nullptr ? file->path : "(null)");
    File in;
    if (!in.Open(file->path, transfer::kModeRead)) {
        (void)RsSendEot();
        return OL_DATA_FILE;
    }
    std::size_t length = 0;
    while (transfer::ReadLineRaw(in, RecordText(), kLineReadSize, &length)) {
        const std::uint32_t status = RsSendRecord(g_record, ToLength(length), file->timeout, 0);
        if (status != 0) return MapLinkStatus(status);
    }
    in.Close();
    return MapLinkStatus(RsSendEot());
}

// Ol_Read: the data of every record back to back, up to the register's EOT.
// No ENQ is awaited first: the first reply is the ACK.
std::uint32_t ReadFile(DataFileDesc* file) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    ORV_TRACE("Ol_Read: serial, file %s", file->path != nullptr ? file->path : "(null)");
    File out;
    if (!out.Open(file->path, transfer::kModeCreate)) return OL_DATA_FILE;
    file->byteCount = 0;
    for (;;) {
        std::int32_t length = 0;
        const std::uint32_t status = RsRecvRecord(g_record, &length, file->timeout);
        if (status == LinkEot) break;
        if (status != 0) return MapLinkStatus(status);
        if (!out.WriteAll(g_record, ToSize(length))) return OL_DATA_FILE;
        file->byteCount += static_cast<std::uint32_t>(ToSize(length));
    }
    return transfer::CloseWrittenFile(out);
}

std::uint32_t WriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    const bool sending = request->direction == 1;
    ORV_TRACE("Ol_WriteRead: serial, %s, %s command, %s header file, %s data file",
              sending ? "sending" : "receiving", request->command != nullptr ? "a" : "no",
              header != nullptr ? "a" : "no", data != nullptr ? "a" : "no");
    std::uint32_t rc = OL_OK;
    if (request->command != nullptr) {
        rc = SendCommand(*request);
        if (rc != OL_OK) return rc;
    }
    if (sending) {
        if (header != nullptr) {
            rc = SendSeries(*request, *header, data);
        } else if (data != nullptr) {
            rc = SendLineFile(*request, *data);
        }
        if (rc != OL_OK) return rc;
        return Closing(*request);
    }
    const std::uint32_t status = RsWaitEnq(request->timeout, request->retries);
    if (status != 0) return MapLinkStatus(status);
    if (header != nullptr) return ReceiveSeries(*header, data);
    if (data == nullptr) return OL_OK;
    return ReceiveReplyFile(*data);
}

// Ol_EchoBack: an optional command, then the send file's first bytes as one
// record and the register's answer record into the receive file. The answer
// may be as long as any record (1000 data bytes): it is received into the
// record buffer.
std::uint32_t EchoBack(ExchangeRequest* request, SendFileDesc* sendFile,
                       DataFileDesc* receiveFile) {
    if (!HasState(StateSerialStarted)) return OL_BAD_STATE;
    ORV_TRACE("Ol_EchoBack: serial, %s command", request->command != nullptr ? "a" : "no");
    if (request->command != nullptr) {
        const std::uint32_t rc = SendCommand(*request);
        if (rc != OL_OK) return rc;
    }
    std::uint8_t echo[kEchoSendMax];
    std::size_t count = 0;
    {
        File in;
        if (sendFile == nullptr || !in.Open(sendFile->path, transfer::kModeRead)) {
            (void)RsSendEot();
            return OL_DATA_FILE;
        }
        count = in.Read(echo, sizeof echo);
    }
    if (count < 1) {
        (void)RsSendEot();
        return OL_DATA_FILE;
    }
    File out;
    if (receiveFile == nullptr || !out.Open(receiveFile->path, transfer::kModeCreate)) {
        return OL_DATA_FILE;
    }
    receiveFile->byteCount = 0;
    std::int32_t length = 0;
    const std::uint32_t status =
        RsSendRecvRecord(echo, ToLength(count), sendFile->timeout, g_record, &length,
                         static_cast<std::int32_t>(transfer::kSerialRecordMax));
    if (status != 0) return MapLinkStatus(status);
    if (!out.WriteAll(g_record, ToSize(length))) return OL_DATA_FILE;
    receiveFile->byteCount += static_cast<std::uint32_t>(ToSize(length));
    return transfer::CloseWrittenFile(out);
}

}  // namespace orv::serial
