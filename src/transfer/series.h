// Sending a series of numbered data files, alike on every link: for each file
// number from the header's fileNumber to its lastFileNumber whose file opens
// (the others are skipped), the header block restored for that number, then
// the file's data records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orv_lib.h"
#include "transfer/files.h"

namespace orv::transfer {

// One link's part of a series. Every block is built in block (capacity bytes)
// and sent from there; a send returns the link's result, and the series ends
// at the first that is not 0.
class SeriesLink {
  public:
    SeriesLink(const char* name, std::uint8_t* buffer, std::size_t size)
        : traceName(name), block(buffer), capacity(size) {}

    // Builds the file's next data record in block: its length, 0 when the
    // file has none left. *last tells the file's last record.
    virtual std::size_t NextData(DataRecordReader& reader, bool* last) {
        return NextBlockRecord(reader, block, capacity, last);
    }
    virtual std::uint32_t SendHeader(std::uint8_t type, std::size_t length) = 0;
    virtual std::uint32_t SendData(std::uint8_t type, std::size_t length) = 0;
    // After a file's data, with the file closed.
    virtual std::uint32_t FileSent() { return OL_OK; }

    const char* const traceName;  // "net send", ...
    std::uint8_t* const block;
    const std::size_t capacity;

  protected:
    ~SeriesLink() = default;
};

// Sends the series at data's path over link once PrepareSendHeader has
// accepted the header file: 0, or the first failed send's result.
std::uint32_t SendSeriesFiles(const DataFileDesc& data, SeriesLink& link);

}  // namespace orv::transfer
