// The simulator's data folder.
//
//   <dir>/out/header.txt   header the register serves (hex text; CR, LF and
//                           ',' are ignored, so a host's comma-separated
//                           header file works too)
//   <dir>/out/data.txt     first data file of the series it serves, then
//                           data.002, data.003, ... (hex text of the rows;
//                           CR, LF and ',' ignored)
//   <dir>/in/header.txt    the first header of the last series a host sent
//   <dir>/in/data.txt ...  the data files of that series, as hex text, named
//                           like the host's numbered series
//   <dir>/in/lines.txt     every other record or block a host sent (commands,
//                           line files, Ol_Write data), one per line
//
// The register's own view of the formats: written apart from the library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace orvsim {

// Creates the data folder with out/ and in/ (private to the user) when they
// are missing, and with sample a small sample series and a README of its
// fields in out/ when out/ has no header. Returns why that failed, or "".
std::string PrepareDataFolder(const std::string& dir, bool sample);

// A header as the register reads it.
struct Header {
    std::vector<std::uint8_t> bytes;  // 9 to 89 header bytes
    bool table() const { return bytes[0] != 0; }
    std::uint8_t fileNumber() const { return bytes[7]; }
    std::uint8_t lastFileNumber() const { return bytes[8]; }
    // Sum of the column widths; 1 in plain layout.
    unsigned RowWidth() const;
    // The record counter starts at 1 (row numbers) in table layout whose first
    // width is 0, else at 0.
    bool CountsRows() const { return table() && (bytes.size() < 10 || bytes[9] == 0); }
};

std::string ToHex(const std::uint8_t* bytes, std::size_t count);
// Hex text to bytes; false at the first character that is not a digit pair.
bool FromHex(const std::string& hex, std::vector<std::uint8_t>* out);

// One file the register serves: its number and its bytes.
struct ServedFile {
    unsigned number;
    std::vector<std::uint8_t> data;
};

// The series in <dir>/out. Empty (no files) when there is no usable header,
// or when its rows are wider than rowLimit bytes, the most one block of the
// link carries (a row is never split across blocks).
struct Series {
    Header header;
    std::vector<ServedFile> files;
    std::string error;  // why nothing can be served
};
Series LoadSeries(const std::string& dir, std::size_t rowLimit);

// The header block of file number k: header byte 7 set to k when the series
// has a last file number.
std::vector<std::uint8_t> HeaderFor(const Header& header, unsigned k);

// The data blocks of a served file on TCP and USB: each the record counter
// and row count (2 bytes each, high byte first), then whole rows of at most
// blockData bytes (blockData bytes of a plain file). A file without rows is
// one block of no rows.
std::vector<std::vector<std::uint8_t>> DataBlocks(const Header& header, const ServedFile& file,
                                                  std::size_t blockData);

// Where received data go. Not thread-safe: one session writes at a time.
class Inbox {
  public:
    explicit Inbox(std::string dir);
    // A header: the first of an exchange is written to in/header.txt; each
    // opens the data file for its file number. Logs the file, or why not.
    void BeginFile(const Header& header, bool firstOfExchange);
    // Data as bytes (written as hex text) or as hex text already.
    bool AppendData(const std::uint8_t* bytes, std::size_t count);
    bool AppendText(const std::string& hex);
    void EndFile();
    bool InFile() const { return file_ != nullptr; }
    // A TCP block or USB packet of data: outside a file (Ol_Write) its bytes
    // as a line; in a file the rows after its 4-byte prefix, and the last
    // block ends the file. True when it ended one.
    bool AppendDataBlock(const std::vector<std::uint8_t>& data, bool last);
    // A record or block outside a series.
    bool AppendLine(const std::string& text);
    const std::string& CurrentName() const { return name_; }

  private:
    std::string dir_;
    std::FILE* file_ = nullptr;
    std::string name_;
};

}  // namespace orvsim
