// Data records and blocks: the prefixes that lead them, the counter they
// carry, the block types of the network and USB links, and the command text.
//
// Serial data record (hex text), prefix then the rows' hex text:
//   table: counter (4 digits), row count (2 digits, low 8 bits), last mark (2)
//   plain: counter (4 digits), byte count (4 digits), last mark (2)
// The last mark is "00" when more records of the file follow, "01" on the
// last one.
// Network and USB data block (bytes): counter (2 bytes, high first), rows (2
// bytes, high first), then W x rows bytes. The block type tells the last one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer/header.h"

namespace orv::transfer {

inline constexpr std::size_t kSerialTablePrefix = 8;
inline constexpr std::size_t kSerialPlainPrefix = 10;
inline constexpr std::size_t kBlockPrefix = 4;
// Longest serial data record and longest hex text of a record's rows on any
// link (network: 2 x 1449).
inline constexpr std::size_t kSerialRecordMax = 1000;
inline constexpr std::size_t kRecordHexMax = 2 * 1449;

// Block types the PC sends (network block type byte, USB packet KIND).
enum BlockType : std::uint8_t {
    BlockCommand = 0x00,
    BlockHeader = 0x03,
    BlockLastHeader = 0x43,  // 'C': header of the last file of its series
    BlockData = 0x04,
    BlockLastData = 0x44,  // 'D'
    BlockLine = 0x05,
    BlockLastLine = 0x45,  // 'E'
    BlockEnd = 0x81,
    BlockRefusal = 0x82,  // from the register: it refuses the exchange
};

// Kinds of a received block (type & 0x0F) that the reply file tells apart;
// every other kind is hex data.
inline constexpr std::uint8_t kKindHeader = 3;
inline constexpr std::uint8_t kKindRaw = 7;

constexpr std::uint8_t HeaderBlockType(bool lastFile) {
    return lastFile ? BlockLastHeader : BlockHeader;
}
constexpr std::uint8_t DataBlockType(bool last) {
    return last ? BlockLastData : BlockData;
}
constexpr std::uint8_t LineBlockType(bool last) {
    return last ? BlockLastLine : BlockLine;
}
// A received block whose type has bit 6 or 7 set is the last of its file.
constexpr bool IsLastBlock(std::uint8_t type) {
    return (type & 0xC0) != 0;
}
constexpr std::uint8_t BlockKind(std::uint8_t type) {
    return static_cast<std::uint8_t>(type & 0x0F);
}

// The counter of the data prefixes of one file: in plain layout the offset of
// the record's first byte, in table layout the 1-based number of its first row
// when widths[0] is 0, else always 0. Written as its low 16 bits.
class RecordCounter {
  public:
    explicit RecordCounter(const RowLayout& layout)
        : value_(layout.counterStart), advances_(!layout.table || layout.counterStart != 0) {}
    std::uint32_t Value() const { return value_ & 0xFFFFu; }
    void Advance(std::uint32_t rows) {
        if (advances_) value_ += rows;
    }

  private:
    std::uint32_t value_;
    bool advances_;
};

// Length of the serial data prefix: 8 in table layout, 10 in plain layout.
std::size_t SerialPrefixLength(const RowLayout& layout);

// Writes the serial data prefix (SerialPrefixLength characters, no NUL).
// rows is the number of rows (plain layout: of bytes) in the record.
void FillSerialPrefix(const RowLayout& layout, std::uint32_t counter, std::uint32_t rows, bool last,
                      char* dest);

// Writes the 4-byte prefix of a network or USB data block.
void FillBlockPrefix(std::uint32_t counter, std::uint32_t rows, std::uint8_t* dest);

// Position of the last mark in a received serial data record: 6 in table
// layout, 8 in plain layout or when unsplitFlag is set.
std::size_t SerialLastMarkAt(const TransferHeader& header);

// True when a received serial data record ends its file: its last mark is not
// "00", or the record is too short to hold a mark.
bool SerialRecordIsLast(const TransferHeader& header, const char* record, std::size_t length);

// Cuts the host's command text in place at its first CR (a NUL replaces it)
// and returns the length of what stands before it.
std::size_t CutCommand(char* command);

}  // namespace orv::transfer
