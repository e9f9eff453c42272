// Transfer files: opening and closing, numbered file series, line readers,
// reading a data file into records and writing received records as hex text
// or as comma-separated columns.
//
// Every file is opened with mode "r+b" to be read and "w+b" to be created, and
// is closed by its File object on every path. Files created for writing are
// unbuffered, so a failure leaves on disk exactly what was written before it
// and a short write is seen at the write that fell short.
//
// Reading never holds more than one record of a data file, so memory does not
// grow with the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "transfer/header.h"
#include "transfer/records.h"

namespace orv::transfer {

inline constexpr char kModeRead[] = "r+b";
inline constexpr char kModeCreate[] = "w+b";
// Longest path a numbered file name is built from.
inline constexpr std::size_t kPathMax = 4096;

// One open file, closed when the object goes out of scope.
class File {
  public:
    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens path with mode (kModeRead or kModeCreate); false when path is
    // null or the open fails. A file already open is closed first.
    bool Open(const char* path, const char* mode);
    bool IsOpen() const { return file_ != nullptr; }
    // Closes the file; false when it was not open or the close failed.
    bool Close();

    // Reads up to count bytes; returns the number read (a read error counts
    // as the end of the file).
    std::size_t Read(void* dest, std::size_t count);
    // The next byte, or EOF.
    int GetChar();
    void UngetChar(int c);
    // True when no byte follows (the peeked byte is put back).
    bool AtEnd();
    // Writes all count bytes; false when the write falls short.
    bool WriteAll(const void* data, std::size_t count);

    std::FILE* Handle() const { return file_; }

  private:
    std::FILE* file_ = nullptr;
};

// Closes a file that a transfer has written, on every link: 0, or 4 when the
// close fails. A delayed write error (a network file system, a full disk
// under a cache) shows only at the close, and the file then holds less than
// was written: it counts as a short write.
std::uint32_t CloseWrittenFile(File& file);

// The name of file number n of the series that starts at path: for n of 2 or
// more the last '.' of the whole path and everything after it become ".%03d"
// of n (appended when there is no '.'); 0 and 1 give path unchanged. False
// when path is null or the name does not fit capacity (with its NUL).
bool NumberedFileName(const char* path, std::uint32_t n, char* out, std::size_t capacity);

// Opens the numbered file n of the series at path with mode.
bool OpenNumbered(File& file, const char* path, std::uint32_t n, const char* mode);

// Reads one line as fgets does: at most size - 1 bytes, up to and including a
// LF, NUL-terminated, and sets *length to its length up to its first NUL.
// False at the end of the file. Serial line files and Ol_Write files use a
// size of 1000.
bool ReadLineRaw(File& file, char* buf, std::size_t size, std::size_t* length);

// Reads one line ended by LF, CR or CR LF, without its line end; a line longer
// than limit comes in pieces of limit characters (a line end right after a
// full piece belongs to that piece). buf needs limit + 1 bytes (NUL-
// terminated). False at the end of the file when nothing was read; an empty
// line gives true and *length 0. Network line files: 2906; USB: 2000.
bool ReadTextLine(File& file, char* buf, std::size_t limit, std::size_t* length);

// Reads a header file for sending: opens path ("r+b"), reads at most readLimit
// bytes (no more than capacity) and closes it; format 0 keeps the bytes, 1
// drops every CR, LF and ','. Returns 0 with *length characters kept, 3 when
// the file cannot be opened or no byte was read, 50 for another format.
std::uint32_t LoadHeaderText(const char* path, std::uint32_t format, std::size_t readLimit,
                             char* text, std::size_t capacity, std::size_t* length);

// Creates path and writes a header of nbytes bytes given as hex text: format 0
// the 2 * nbytes characters, else bytes 0-8 as fields of 2, 2, 4, 2, 4, 2, 2
// characters each followed by ',', then every width as 2 characters with ','
// between them (a header without widths ends with the seventh field's comma).
// No line end. Returns 0, or 3 when the file cannot be created or written.
std::uint32_t WriteHeaderText(const char* path, std::uint32_t format, const char* hex,
                              std::size_t nbytes);

// Reads a data file into records of at most R rows of 2W hex characters.
//   csv false: up to R rows in one read; CR and LF count as data except right
//     after a full record, where every CR and LF is skipped.
//   csv true: every CR, LF and ',' is dropped; a row cut short by the end of
//     the file is not sent.
// A record is the last when it holds fewer than R rows or nothing but CR and
// LF follow it; an empty file gives one empty last record. Use it only with a
// layout accepted by DeriveLayout.
class DataRecordReader {
  public:
    DataRecordReader(File& file, bool csv, const RowLayout& layout);

    // Reads the next record. False once the last record has been read, or
    // when the layout's record does not fit the reader.
    bool Next();

    const char* Text() const { return text_; }
    std::size_t TextLength() const { return static_cast<std::size_t>(rows_) * rowChars_; }
    std::uint32_t Rows() const { return rows_; }
    std::uint32_t Counter() const { return counter_; }  // of this record, low 16 bits
    bool Last() const { return last_; }
    const RowLayout& Layout() const { return layout_; }

  private:
    std::uint32_t ReadPlain();
    std::uint32_t ReadCsv();
    bool OnlyLineEndsFollow();

    File& file_;
    bool csv_;
    RowLayout layout_;
    std::size_t rowChars_;
    RecordCounter nextCounter_;
    std::uint32_t counter_ = 0;
    std::uint32_t rows_ = 0;
    bool last_ = false;
    bool done_ = false;
    char text_[kRecordHexMax];
};

// Reads the next record and builds a serial data record in dest: prefix, then
// the rows' hex text. Returns its length (prefix + 2 x W x rows), 0 when
// there is no record left or capacity is too small; *last tells the last one.
std::size_t NextSerialRecord(DataRecordReader& reader, char* dest, std::size_t capacity,
                             bool* last);

// Reads the next record and builds a network or USB data block in dest: the
// 4-byte prefix, then the rows converted from hex to bytes (conversion stops
// at the first pair that is not uppercase hex; the bytes from there on keep
// what dest held). Returns its length (4 + W x rows), 0 when there is no
// record left or capacity is too small; send it with DataBlockType(*last).
std::size_t NextBlockRecord(DataRecordReader& reader, std::uint8_t* dest, std::size_t capacity,
                            bool* last);

// Writes received data records to a data file:
//   unsplit (csv false, unsplitFlag set, or a plain layout): the data as hex
//     text, nothing between records;
//   split: every whole row as its columns' hex text, ',' between columns,
//     "\r\n" after the row; a partial row is dropped.
// *byteCount (may be null) grows by every data character and comma written,
// never by the line ends. Every Write returns 0, or 4 when a write falls short
// (what went before stays in the file).
class DataFileWriter {
  public:
    DataFileWriter(File& file, bool csv, const TransferHeader& header, const RowLayout& layout,
                   std::uint32_t* byteCount);

    bool Splits() const { return split_; }

    // Data as hex text (serial): rows = (chars / W) / 2.
    std::uint32_t WriteHex(const char* hex, std::size_t chars);
    // Data as bytes (network, USB), written as hex text: rows = count / W.
    std::uint32_t WriteBytes(const std::uint8_t* bytes, std::size_t count);

    // A received serial data record: writes what follows its prefix and sets
    // *last from its last mark (SerialRecordIsLast).
    std::uint32_t WriteSerialRecord(const char* record, std::size_t length, bool* last);
    // A received network or USB data block: writes the bytes behind its
    // 4-byte prefix; a block no longer than the prefix writes nothing.
    std::uint32_t WriteDataBlock(const std::uint8_t* data, std::size_t length);

  private:
    bool Put(const char* text, std::size_t count, bool counted);
    bool PutHex(const std::uint8_t* bytes, std::size_t count);
    bool Flush();
    std::uint32_t Finish(bool ok);

    File& file_;
    TransferHeader header_;
    RowLayout layout_;
    std::uint32_t* byteCount_;
    bool split_;
    std::size_t staged_ = 0;
    std::size_t stagedCounted_ = 0;
    char stage_[4096];
};

// One line of a reply file or of a network/USB Ol_Read file: the count bytes
// unchanged, then "\r\n". *byteCount (may be null) grows by count once the
// data are written. Returns 0, or 4 on a short write.
std::uint32_t WriteRecordLine(File& file, const void* data, std::size_t count,
                              std::uint32_t* byteCount);

// One line of the reply file of the network and USB links, by the block's
// kind (type & 0x0F): 3 (header): the first 6 bytes unchanged, the rest as hex
// text; 7: the bytes unchanged; any other: the bytes as hex text. Then "\r\n".
// *byteCount grows by the characters of the line without "\r\n". Returns 0,
// or 4 on a short write.
std::uint32_t WriteBlockReplyLine(File& file, std::uint8_t type, const std::uint8_t* data,
                                  std::size_t count, std::uint32_t* byteCount);

}  // namespace orv::transfer
