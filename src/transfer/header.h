// The header block that leads every data file of an exchange, the current
// header parsed from it, and the row geometry each link derives from its width
// table.
//
// A header block is "/HDR1/" followed by the header bytes: on the serial and
// USB links as two uppercase hex characters per byte, on the network link as
// the bytes themselves. Header bytes:
//   0 tableFlag, 1 unsplitFlag, 2-6 carried unchanged, 7 fileNumber,
//   8 lastFileNumber, 9-88 the width table (up to 80 column widths).
//
// The library keeps one TransferState (State()): the current header, the row
// layout derived from it, the saved header block of a sending series and the
// hex text of the last header accepted. Every exchange overwrites it; one
// transfer runs at a time, so it is not guarded.
//
// Sending (all links):
//   std::uint32_t rc = PrepareSendHeader(*headerDesc, LinkSerial);   // 0, 3 or 50
//   then SendSeriesFiles (series.h) restores the header block of every file
//   number with RestoreHeaderBlock and sends it before the file's data.
//
// Receiving (all links):
//   if (AcceptHeader(record, length, LinkSerial) != 0) return OL_NOT_HEADER;
//   if (first) rc = WriteHeaderFile(*headerDesc);                  // 0 or 3
//   // create the numbered file for State().header.fileNumber, then write
//   // the data records with a DataFileWriter (files.h)
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/library.h"
#include "orv_lib.h"

namespace orv::transfer {

inline constexpr char kHeaderTag[] = "/HDR1/";
inline constexpr std::size_t kHeaderTagLength = 6;
// Header size limits, in header bytes (see "Header limits" in orv_lib.h).
inline constexpr std::size_t kHeaderMinBytes = 9;
inline constexpr std::size_t kHeaderMaxBytes = 89;
inline constexpr std::size_t kHeaderMaxHex = 2 * kHeaderMaxBytes;  // 178
inline constexpr std::size_t kWidthCount = 80;
// Saved header block: "/HDR1/" and 178 hex characters (serial, USB) or 89
// bytes (network).
inline constexpr std::size_t kSavedHexBlock = kHeaderTagLength + kHeaderMaxHex;     // 184
inline constexpr std::size_t kSavedByteBlock = kHeaderTagLength + kHeaderMaxBytes;  // 95
// Where the file number k is patched into a restored header block.
inline constexpr std::size_t kFileNumberHexAt = kHeaderTagLength + 2 * 7;  // 20
inline constexpr std::size_t kFileNumberByteAt = kHeaderTagLength + 7;     // 13
// The most bytes any link reads from a header file (network).
inline constexpr std::size_t kHeaderReadMax = 2907;

// The parsed header. Fields the header does not carry are 0.
struct TransferHeader {
    std::uint8_t tableFlag;    // nonzero: rows of columns; 0: a plain stream of bytes
    std::uint8_t unsplitFlag;  // receive: nonzero = data written unsplit
    std::uint8_t carried[5];   // header bytes 2-6, no meaning to the library
    std::uint8_t fileNumber;
    std::uint8_t lastFileNumber;  // 0 or 1 for a single file
    std::uint8_t widths[kWidthCount];
};

// What the current header means for the data records of one link.
struct RowLayout {
    bool table;                 // tableFlag nonzero
    std::uint32_t columnCount;  // nonzero widths; 0 in plain layout
    std::uint8_t columns[kWidthCount];
    std::uint32_t rowWidth;       // W: sum of the columns, 1 in plain layout
    std::uint32_t rowsPerRecord;  // R: rows (plain: bytes) in a full record or block
    std::uint32_t counterStart;   // 1 in table layout when widths[0] is 0, else 0
};

// The numbers in which the links differ.
struct LinkFormat {
    std::size_t headerReadLimit;  // bytes read from a header file
    std::uint32_t rowCapacity;    // table layout: R = rowCapacity / W, and W <= rowCapacity
    std::uint32_t plainRows;      // plain layout: R
    bool hexHeader;               // header bytes travel as hex text
};

// LinkSerial: 1000, 496 (that is (992 / W) / 2), 495, hex.
// LinkNetwork: 2907, 1449, 1449, bytes.  LinkUsb: 2001, 996, 996, hex.
// Any other kind is treated as serial.
const LinkFormat& FormatOf(LinkKind link);

struct TransferState {
    LinkKind link;
    TransferHeader header;
    RowLayout layout;
    // Saved header block of a sending exchange; savedLength is 6 + L (hex
    // links, L header text characters) or 6 + n (network, n header bytes).
    std::uint8_t savedBlock[kSavedHexBlock];
    std::size_t savedLength;
    // The accepted header as hex text, 2 * headerBytes characters: what a
    // receive writes to the header file.
    char headerHex[kHeaderMaxHex];
    std::size_t headerBytes;
};

// The library-wide transfer state.
TransferState& State();
// Clears the transfer state to its value at load.
void ResetState();

// Clears *out, then takes header bytes 0 to 8 into their fields and the rest
// into the width table, at most kHeaderMaxBytes bytes. ParseHeaderHex reads
// nbytes pairs of hex text: a bad pair leaves its field 0 and ends the width
// table.
void ParseHeaderHex(const char* hex, std::size_t nbytes, TransferHeader* out);
void ParseHeaderBytes(const std::uint8_t* bytes, std::size_t nbytes, TransferHeader* out);

// Checks the header limits for a header of nbytes bytes on link and works out
// the columns, W, R and the counter's start. False when the header is refused:
// nbytes outside 9..89, a table layout without a nonzero width, or W above the
// link's rowCapacity (*out is then only partly filled).
bool DeriveLayout(const TransferHeader& header, std::size_t nbytes, LinkKind link, RowLayout* out);

// Sending: reads the header file of desc (at most the link's read limit, mode
// "r+b", closed before returning), filters it by desc.format, builds the saved
// header block, parses it into State().header, sets fileNumber to 1 when
// lastFileNumber is 2 or more, and derives State().layout.
// The header block is built in blockArea when it is given (the link's record
// buffer, at least kSavedHexBlock bytes), and the saved block is that
// buffer's first 184 (hex links) or 95 (network) bytes then: on the network
// link a header byte whose pair is not hex keeps the byte the buffer held.
// Returns 0; 3 when the file cannot be opened, holds no byte, or its header is
// refused (text of more than 178 characters, or see DeriveLayout); 50 when
// format is neither 0 nor 1.
std::uint32_t PrepareSendHeader(const HeaderFileDesc& desc, LinkKind link,
                                std::uint8_t* blockArea = nullptr);

// Copies the whole saved header block to dest (at most capacity bytes) and,
// when lastFileNumber is nonzero, puts k into header byte 7 (hex links: two
// characters at position 20; network: byte 13). Returns the length of the
// header block to send (6 + L or 6 + n), or 0 when capacity is too small or no
// header has been prepared.
std::size_t RestoreHeaderBlock(std::uint32_t k, char* dest, std::size_t capacity);
std::size_t RestoreHeaderBlock(std::uint32_t k, std::uint8_t* dest, std::size_t capacity);

// Receiving: checks that the record (serial, USB: "/HDR1/" and hex text) or
// block data (network: "/HDR1/" and bytes) is a header within the limits,
// parses it into State().header and derives State().layout. n is (length - 6)
// / 2 on hex links, length - 6 on the network. Returns 0, or 23 (OL_NOT_HEADER)
// for anything that is not an acceptable header.
std::uint32_t AcceptHeader(const char* data, std::size_t length, LinkKind link);
std::uint32_t AcceptHeader(const std::uint8_t* data, std::size_t length, LinkKind link);

// Creates desc.path (mode "w+b") and writes the accepted header: its hex text
// for format 0, the comma-separated fields otherwise. Returns 0, or 3 when the
// file cannot be created or the write is short.
std::uint32_t WriteHeaderFile(const HeaderFileDesc& desc);

}  // namespace orv::transfer
