// The network transfers: Ol_Write, Ol_Read and Ol_WriteRead as sequences of
// block sends and receives around the transfer files. Headers and data travel
// as bytes: hex text read from a file is turned into bytes before it is sent,
// and received bytes are written as uppercase hex text.
//
// Every file is a transfer::File, closed on every path; a failure returns the
// link's result (36, 38, 39, 82, 84) unchanged and sends no end block. A file
// that was written and does not close cleanly is a short write (4).
#include "net/net_transfer.h"

#include <cstring>

#include "api/trace.h"
#include "net/net_block.h"
#include "net/net_cells.h"
#include "platform/clock.h"
#include "transfer/files.h"
#include "transfer/header.h"
#include "transfer/hex.h"
#include "transfer/records.h"
#include "transfer/series.h"

namespace orv::net {

namespace {

using transfer::File;

constexpr std::uint32_t kEndPauseMs = 200;
// Line file: a line of at most 2906 hex characters makes one block.
constexpr std::size_t kLineMax = 2 * kBlockData;

// One block from the register into the block record: the result, and on
// success its type and data length.
struct Received {
    std::uint32_t result;
    std::uint8_t type;
    std::size_t dataLength;
};

Received ReceiveOne() {
    std::uint32_t refused = 0;
    std::uint32_t length = 0;
    Received r{NetReceiveBlock(&refused, &length), 0, 0};
    if (r.result == OL_OK) {
        r.type = Net().block[kTypeByte];
        r.dataLength = length >= kBlockHeader ? length - kBlockHeader : 0;
    }
    return r;
}

std::uint32_t ReceiveAnswer() {
    return ReceiveOne().result;
}

// Sends the command text cut at its first CR. A text longer than a block
// sends its first 1453 characters.
std::uint32_t SendCommand(char* command) {
    std::size_t length = transfer::CutCommand(command);
    if (length > kBlockData) length = kBlockData;
    std::memcpy(BlockData(), command, length);
    BlockData()[length] = 0;
    return NetSendBlock(0, transfer::BlockCommand, 0, static_cast<std::uint32_t>(length));
}

// The end of an exchange: a pause, or the end block.
std::uint32_t Closing(const ExchangeRequest& request) {
    if (request.endPause == 1) {
        platform::SleepMs(kEndPauseMs);
        return OL_OK;
    }
    return NetSendBlock(0, transfer::BlockEnd, 0, 0);
}

// A line file: every line of hex text is one block, 'E' on the line that the
// end of the file follows at once; an empty line ends the file. Then one
// answer.
std::uint32_t SendLineFile(const DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeRead)) return OL_DATA_FILE;
    char line[kLineMax + 1];
    std::size_t length = 0;
    std::uint8_t continued = 0;
    while (transfer::ReadTextLine(file, line, kLineMax, &length) && length > 0) {
        const std::uint8_t type = transfer::LineBlockType(file.AtEnd());
        const std::size_t bytes = length / 2;
        HexToSentBytes("net send: line file block", line, BlockData(),
                       static_cast<std::int32_t>(bytes));
        std::uint32_t rc = NetSendBlock(continued, type, 0, static_cast<std::uint32_t>(bytes));
        if (rc != OL_OK) return rc;
        continued = 1;
    }
    file.Close();
    return ReceiveAnswer();
}

// A series: per file, its header block, its data blocks and one answer.
class NetSeries final : public transfer::SeriesLink {
  public:
    NetSeries() : SeriesLink("net send", BlockData(), kBlockData) {}
    std::uint32_t SendHeader(std::uint8_t type, std::size_t length) override {
        return NetSendBlock(0, type, 0, static_cast<std::uint32_t>(length));
    }
    std::uint32_t SendData(std::uint8_t type, std::size_t length) override {
        return NetSendBlock(1, type, 0, static_cast<std::uint32_t>(length));
    }
    std::uint32_t FileSent() override { return ReceiveAnswer(); }
};

std::uint32_t SendSeries(const HeaderFileDesc& header, const DataFileDesc* data) {
    const std::uint32_t rc = transfer::PrepareSendHeader(header, LinkNetwork, BlockData());
    if (rc != OL_OK || data == nullptr) return rc;
    NetSeries link;
    return transfer::SendSeriesFiles(*data, link);
}

// Without a header file: every block is a line of the reply file, written by
// its kind, up to the last block.
std::uint32_t ReceiveReplyFile(DataFileDesc& data) {
    File file;
    if (!file.Open(data.path, transfer::kModeCreate)) return OL_DATA_FILE;
    for (;;) {
        const Received block = ReceiveOne();
        if (block.result != OL_OK) return block.result;
        std::uint32_t rc = transfer::WriteBlockReplyLine(file, block.type, BlockData(),
                                                         block.dataLength, &data.byteCount);
        if (rc != OL_OK) return rc;
        if (transfer::IsLastBlock(block.type)) break;
    }
    return transfer::CloseWrittenFile(file);
}

// With a header file: per file a header block, then its data blocks up to the
// last; the first header goes to the header file. The series ends after the
// file numbered lastFileNumber or led by a 'C' header. Without a data file the
// exchange ends after the header file, with no closing (*closing false).
std::uint32_t ReceiveSeries(const HeaderFileDesc& header, DataFileDesc* data, bool* closing) {
    *closing = data != nullptr;
    if (data != nullptr) data->byteCount = 0;
    for (bool first = true;; first = false) {
        const Received head = ReceiveOne();
        if (head.result != OL_OK) return head.result;
        if (transfer::AcceptHeader(BlockData(), head.dataLength, LinkNetwork) != OL_OK) {
            ORV_TRACE("net recv: block of type %02X is not an acceptable header", head.type);
            return OL_NOT_HEADER;
        }
        if (first) {
            std::uint32_t rc = transfer::WriteHeaderFile(header);
            if (rc != OL_OK) return rc;
        }
        if (data == nullptr) return OL_OK;
        const transfer::TransferHeader h = transfer::State().header;
        File file;
        if (!transfer::OpenNumbered(file, data->path, h.fileNumber, transfer::kModeCreate)) {
            return OL_DATA_FILE;
        }
        transfer::DataFileWriter writer(file, data->csv != 0, h, transfer::State().layout,
                                        &data->byteCount);
        for (;;) {
            const Received block = ReceiveOne();
            if (block.result != OL_OK) return block.result;
            std::uint32_t rc = writer.WriteDataBlock(BlockData(), block.dataLength);
            if (rc != OL_OK) return rc;
            if (transfer::IsLastBlock(block.type)) break;
        }
        if (transfer::CloseWrittenFile(file) != OL_OK) return OL_DATA_FILE;
        if (h.fileNumber >= h.lastFileNumber || head.type == transfer::BlockLastHeader) {
            return OL_OK;
        }
    }
}

}  // namespace

// Ol_Write: the file's raw bytes in blocks of 1453, 'D' on the last (an empty
// file is one empty 'D' block). No answer is awaited.
std::uint32_t WriteFile(SendFileDesc* file) {
    File in;
    if (!in.Open(file->path, transfer::kModeRead)) return OL_DATA_FILE;
    ORV_TRACE("Ol_Write: network, file %s", file->path);
    std::uint8_t continued = 0;
    for (;;) {
        const std::size_t n = in.Read(BlockData(), kBlockData);
        const bool last = in.AtEnd();
        std::uint32_t rc = NetSendBlock(continued, transfer::DataBlockType(last), 0,
                                        static_cast<std::uint32_t>(n));
        if (rc != OL_OK) return rc;
        continued = 1;
        if (last) break;
    }
    in.Close();
    return OL_OK;
}

// Ol_Read: every block's data and "\r\n", up to the last block.
std::uint32_t ReadFile(DataFileDesc* file) {
    File out;
    if (!out.Open(file->path, transfer::kModeCreate)) return OL_DATA_FILE;
    ORV_TRACE("Ol_Read: network, file %s", file->path);
    file->byteCount = 0;
    for (;;) {
        const Received block = ReceiveOne();
        if (block.result != OL_OK) return block.result;
        if (transfer::WriteRecordLine(out, BlockData(), block.dataLength, &file->byteCount) !=
            OL_OK) {
            return OL_DATA_FILE;
        }
        if (transfer::IsLastBlock(block.type)) break;
    }
    return transfer::CloseWrittenFile(out);
}

std::uint32_t WriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data) {
    NetCells& net = Net();
    // The request's timing stays in force for later network transfers.
    net.receiveTimeout = request->receiveWait;
    net.sendRetries = request->retries;
    net.sendRetryWait = request->timeout;
    const bool sending = request->direction == 1;
    ORV_TRACE("Ol_WriteRead: network, %s, receive wait %u ms, %u retries every %u ms",
              sending ? "sending" : "receiving", request->receiveWait, request->retries,
              request->timeout);

    std::uint32_t rc = OL_OK;
    if (request->command != nullptr) {
        rc = SendCommand(request->command);
        if (rc == OL_OK && sending) rc = ReceiveAnswer();
        if (rc != OL_OK) return rc;
    }
    if (sending) {
        if (header != nullptr) {
            rc = SendSeries(*header, data);
        } else if (data != nullptr) {
            rc = SendLineFile(*data);
        }
    } else {
        if (header != nullptr) {
            bool closing = true;
            rc = ReceiveSeries(*header, data, &closing);
            if (rc == OL_OK && !closing) return OL_OK;
        } else {
            if (data == nullptr) return OL_OK;
            rc = ReceiveReplyFile(*data);
        }
    }
    if (rc != OL_OK) return rc;
    return Closing(*request);
}

}  // namespace orv::net
