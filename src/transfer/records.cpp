#include "transfer/records.h"

#include <cstring>

#include "transfer/hex.h"

namespace orv::transfer {

std::size_t SerialPrefixLength(const RowLayout& layout) {
    return layout.table ? kSerialTablePrefix : kSerialPlainPrefix;
}

void FillSerialPrefix(const RowLayout& layout, std::uint32_t counter, std::uint32_t rows, bool last,
                      char* dest) {
    HexDigits(counter, dest, 4);
    // Table: the row count keeps its low 8 bits; plain: the byte count 16.
    const std::uint32_t countDigits = layout.table ? 2 : 4;
    HexDigits(rows, dest + 4, countDigits);
    HexDigits(last ? 1 : 0, dest + 4 + countDigits, 2);
}

void FillBlockPrefix(std::uint32_t counter, std::uint32_t rows, std::uint8_t* dest) {
    dest[0] = static_cast<std::uint8_t>(counter >> 8);
    dest[1] = static_cast<std::uint8_t>(counter);
    dest[2] = static_cast<std::uint8_t>(rows >> 8);
    dest[3] = static_cast<std::uint8_t>(rows);
}

std::size_t SerialLastMarkAt(const TransferHeader& header) {
    // A plain record carries its 4-digit byte count before the mark whatever
    // unsplitFlag says.
    return header.tableFlag == 0 || header.unsplitFlag != 0 ? 8 : 6;
}

bool SerialRecordIsLast(const TransferHeader& header, const char* record, std::size_t length) {
    const std::size_t at = SerialLastMarkAt(header);
    if (length < at + 2) return true;
    return record[at] != '0' || record[at + 1] != '0';
}

std::size_t CutCommand(char* command) {
    char* cr = std::strchr(command, '\r');
    if (cr != nullptr) *cr = '\0';
    return std::strlen(command);
}

}  // namespace orv::transfer
