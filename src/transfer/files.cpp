#include "transfer/files.h"

#include <climits>
#include <cstring>

#include "orv_lib.h"
#include "transfer/hex.h"

namespace orv::transfer {

namespace {

constexpr char kLineEnd[] = "\r\n";

bool IsLineEnd(int c) {
    return c == '\r' || c == '\n';
}

// Writes count bytes as hex text through a small local buffer.
bool WriteHex(File& file, const std::uint8_t* bytes, std::size_t count) {
    char text[1024];
    while (count > 0) {
        const std::size_t n = count < sizeof text / 2 ? count : sizeof text / 2;
        BytesToHex(bytes, text, static_cast<std::int32_t>(n));
        if (!file.WriteAll(text, 2 * n)) return false;
        bytes += n;
        count -= n;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// File

bool File::Open(const char* path, const char* mode) {
    Close();
    if (path == nullptr || mode == nullptr) return false;
    file_ = std::fopen(path, mode);
    if (file_ == nullptr) return false;
    // Created files are written unbuffered: every write reaches the file at
    // once, so a short one is seen where it happens and nothing is left in a
    // buffer when a transfer fails.
    if (mode[0] == 'w') std::setvbuf(file_, nullptr, _IONBF, 0);
    return true;
}

bool File::Close() {
    if (file_ == nullptr) return false;
    const int rc = std::fclose(file_);
    file_ = nullptr;
    return rc == 0;
}

std::uint32_t CloseWrittenFile(File& file) {
    return file.Close() ? OL_OK : OL_DATA_FILE;
}

std::size_t File::Read(void* dest, std::size_t count) {
    if (file_ == nullptr || count == 0) return 0;
    return std::fread(dest, 1, count, file_);
}

int File::GetChar() {
    return file_ == nullptr ? EOF : std::getc(file_);
}

void File::UngetChar(int c) {
    if (file_ != nullptr && c != EOF) std::ungetc(c, file_);
}

bool File::AtEnd() {
    const int c = GetChar();
    if (c == EOF) return true;
    UngetChar(c);
    return false;
}

bool File::WriteAll(const void* data, std::size_t count) {
    if (file_ == nullptr) return false;
    if (count == 0) return true;
    return std::fwrite(data, 1, count, file_) == count;
}

// ---------------------------------------------------------------------------
// Names and lines

bool NumberedFileName(const char* path, std::uint32_t n, char* out, std::size_t capacity) {
    if (path == nullptr || out == nullptr) return false;
    const std::size_t length = std::strlen(path);
    std::size_t base = length;
    char suffix[16] = "";
    std::size_t suffixLength = 0;
    if (n >= 2) {
        const char* dot = std::strrchr(path, '.');
        if (dot != nullptr) base = static_cast<std::size_t>(dot - path);
        const int printed = std::snprintf(suffix, sizeof suffix, ".%03u", static_cast<unsigned>(n));
        suffixLength = static_cast<std::size_t>(printed);
    }
    if (base + suffixLength + 1 > capacity) return false;
    std::memcpy(out, path, base);
    std::memcpy(out + base, suffix, suffixLength);
    out[base + suffixLength] = '\0';
    return true;
}

bool OpenNumbered(File& file, const char* path, std::uint32_t n, const char* mode) {
    char name[kPathMax + 1];
    if (!NumberedFileName(path, n, name, sizeof name)) {
        file.Close();
        return false;
    }
    return file.Open(name, mode);
}

bool ReadLineRaw(File& file, char* buf, std::size_t size, std::size_t* length) {
    *length = 0;
    if (file.Handle() == nullptr || size < 2) return false;
    const int limit = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (std::fgets(buf, limit, file.Handle()) == nullptr) return false;
    *length = std::strlen(buf);
    return true;
}

bool ReadTextLine(File& file, char* buf, std::size_t limit, std::size_t* length) {
    std::size_t n = 0;
    int c = file.GetChar();
    if (c == EOF) {
        *length = 0;
        buf[0] = '\0';
        return false;
    }
    while (c != EOF && !IsLineEnd(c)) {
        buf[n++] = static_cast<char>(c);
        if (n == limit) {
            c = file.GetChar();
            if (!IsLineEnd(c)) file.UngetChar(c);
            break;
        }
        c = file.GetChar();
    }
    if (c == '\r') {
        const int next = file.GetChar();
        if (next != '\n') file.UngetChar(next);
    }
    buf[n] = '\0';
    *length = n;
    return true;
}

// ---------------------------------------------------------------------------
// Header files

std::uint32_t LoadHeaderText(const char* path, std::uint32_t format, std::size_t readLimit,
                             char* text, std::size_t capacity, std::size_t* length) {
    *length = 0;
    File file;
    if (!file.Open(path, kModeRead)) return OL_HEADER_FILE;
    const std::size_t got = file.Read(text, readLimit < capacity ? readLimit : capacity);
    file.Close();
    if (got < 1) return OL_HEADER_FILE;
    if (format == 0) {
        *length = got;
        return OL_OK;
    }
    if (format != 1) return OL_BAD_STATE;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < got; ++i) {
        if (IsLineEnd(text[i]) || text[i] == ',') continue;
        text[kept++] = text[i];
    }
    *length = kept;
    return OL_OK;
}

std::uint32_t WriteHeaderText(const char* path, std::uint32_t format, const char* hex,
                              std::size_t nbytes) {
    if (nbytes > kHeaderMaxBytes) nbytes = kHeaderMaxBytes;
    const std::size_t chars = 2 * nbytes;
    // Fields of bytes 0-8 and their commas, then 80 widths with 79 commas.
    char text[2 * kHeaderMinBytes + 7 + 3 * kWidthCount];
    std::size_t length = 0;
    if (format == 0) {
        std::memcpy(text, hex, chars);
        length = chars;
    } else {
        static constexpr std::size_t kFieldChars[] = {2, 2, 4, 2, 4, 2, 2};
        std::size_t at = 0;
        for (std::size_t field : kFieldChars) {
            if (at + field > chars) break;
            std::memcpy(text + length, hex + at, field);
            length += field;
            text[length++] = ',';
            at += field;
        }
        for (std::size_t i = kHeaderMinBytes; i < nbytes; ++i) {
            if (i > kHeaderMinBytes) text[length++] = ',';
            std::memcpy(text + length, hex + 2 * i, 2);
            length += 2;
        }
    }
    File file;
    if (!file.Open(path, kModeCreate)) return OL_HEADER_FILE;
    const bool written = file.WriteAll(text, length);
    const bool closed = file.Close();
    return written && closed ? OL_OK : OL_HEADER_FILE;
}

// ---------------------------------------------------------------------------
// Reading a data file into records

DataRecordReader::DataRecordReader(File& file, bool csv, const RowLayout& layout)
    : file_(file),
      csv_(csv),
      layout_(layout),
      rowChars_(2 * static_cast<std::size_t>(layout.rowWidth)),
      nextCounter_(layout) {}

bool DataRecordReader::Next() {
    if (done_) return false;
    const std::size_t rowsPerRecord = layout_.rowsPerRecord;
    if (rowChars_ == 0 || rowsPerRecord == 0 || rowsPerRecord * rowChars_ > sizeof text_) {
        done_ = true;
        return false;
    }
    counter_ = nextCounter_.Value();
    rows_ = csv_ ? ReadCsv() : ReadPlain();
    // The test after a full record also eats the line ends that follow it.
    last_ = rows_ < rowsPerRecord || OnlyLineEndsFollow();
    nextCounter_.Advance(rows_);
    done_ = last_;
    return true;
}

std::uint32_t DataRecordReader::ReadPlain() {
    const std::size_t got = file_.Read(text_, layout_.rowsPerRecord * rowChars_);
    return static_cast<std::uint32_t>(got / rowChars_);
}

std::uint32_t DataRecordReader::ReadCsv() {
    const std::size_t wanted = layout_.rowsPerRecord * rowChars_;
    std::size_t kept = 0;
    while (kept < wanted) {
        const int c = file_.GetChar();
        if (c == EOF) break;
        if (IsLineEnd(c) || c == ',') continue;
        text_[kept++] = static_cast<char>(c);
    }
    return static_cast<std::uint32_t>(kept / rowChars_);
}

bool DataRecordReader::OnlyLineEndsFollow() {
    int c = file_.GetChar();
    while (IsLineEnd(c)) c = file_.GetChar();
    if (c == EOF) return true;
    file_.UngetChar(c);
    return false;
}

std::size_t NextSerialRecord(DataRecordReader& reader, char* dest, std::size_t capacity,
                             bool* last) {
    const RowLayout& layout = reader.Layout();
    const std::size_t prefix = SerialPrefixLength(layout);
    const std::size_t full = 2 * static_cast<std::size_t>(layout.rowWidth) * layout.rowsPerRecord;
    if (capacity < prefix + full || !reader.Next()) return 0;
    FillSerialPrefix(layout, reader.Counter(), reader.Rows(), reader.Last(), dest);
    std::memcpy(dest + prefix, reader.Text(), reader.TextLength());
    *last = reader.Last();
    return prefix + reader.TextLength();
}

std::size_t NextBlockRecord(DataRecordReader& reader, std::uint8_t* dest, std::size_t capacity,
                            bool* last) {
    const RowLayout& layout = reader.Layout();
    const std::size_t full = static_cast<std::size_t>(layout.rowWidth) * layout.rowsPerRecord;
    if (capacity < kBlockPrefix + full || !reader.Next()) return 0;
    FillBlockPrefix(reader.Counter(), reader.Rows(), dest);
    const std::size_t bytes = reader.TextLength() / 2;
    HexToSentBytes("data block", reader.Text(), dest + kBlockPrefix,
                   static_cast<std::int32_t>(bytes));
    *last = reader.Last();
    return kBlockPrefix + bytes;
}

// ---------------------------------------------------------------------------
// Writing received data

DataFileWriter::DataFileWriter(File& file, bool csv, const TransferHeader& header,
                               const RowLayout& layout, std::uint32_t* byteCount)
    : file_(file),
      header_(header),
      layout_(layout),
      byteCount_(byteCount),
      // A plain layout has no columns to split by: its data go unsplit.
      split_(csv && header.unsplitFlag == 0 && layout.table && layout.columnCount > 0 &&
             layout.rowWidth > 0) {}

bool DataFileWriter::Flush() {
    if (staged_ == 0) return true;
    const bool ok = file_.WriteAll(stage_, staged_);
    if (ok && byteCount_ != nullptr) {
        *byteCount_ += static_cast<std::uint32_t>(stagedCounted_);
    }
    staged_ = 0;
    stagedCounted_ = 0;
    return ok;
}

bool DataFileWriter::Put(const char* text, std::size_t count, bool counted) {
    while (count > 0) {
        if (staged_ == sizeof stage_ && !Flush()) return false;
        const std::size_t room = sizeof stage_ - staged_;
        const std::size_t n = count < room ? count : room;
        std::memcpy(stage_ + staged_, text, n);
        staged_ += n;
        if (counted) stagedCounted_ += n;
        text += n;
        count -= n;
    }
    return true;
}

bool DataFileWriter::PutHex(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        if (sizeof stage_ - staged_ < 2 && !Flush()) return false;
        const std::size_t room = (sizeof stage_ - staged_) / 2;
        const std::size_t n = count < room ? count : room;
        BytesToHex(bytes, stage_ + staged_, static_cast<std::int32_t>(n));
        staged_ += 2 * n;
        stagedCounted_ += 2 * n;
        bytes += n;
        count -= n;
    }
    return true;
}

std::uint32_t DataFileWriter::Finish(bool ok) {
    if (ok) ok = Flush();
    staged_ = 0;
    stagedCounted_ = 0;
    return ok ? OL_OK : OL_DATA_FILE;
}

std::uint32_t DataFileWriter::WriteHex(const char* hex, std::size_t chars) {
    if (!split_) return Finish(Put(hex, chars, true));
    const std::size_t rowChars = 2 * static_cast<std::size_t>(layout_.rowWidth);
    const std::size_t rows = chars / rowChars;
    bool ok = true;
    for (std::size_t r = 0; r < rows && ok; ++r) {
        const char* p = hex + r * rowChars;
        for (std::uint32_t c = 0; c < layout_.columnCount && ok; ++c) {
            const std::size_t n = 2 * static_cast<std::size_t>(layout_.columns[c]);
            ok = Put(p, n, true) && (c + 1 == layout_.columnCount || Put(",", 1, true));
            p += n;
        }
        ok = ok && Put(kLineEnd, 2, false);
    }
    return Finish(ok);
}

std::uint32_t DataFileWriter::WriteBytes(const std::uint8_t* bytes, std::size_t count) {
    if (!split_) return Finish(PutHex(bytes, count));
    const std::size_t rowBytes = layout_.rowWidth;
    const std::size_t rows = count / rowBytes;
    bool ok = true;
    for (std::size_t r = 0; r < rows && ok; ++r) {
        const std::uint8_t* p = bytes + r * rowBytes;
        for (std::uint32_t c = 0; c < layout_.columnCount && ok; ++c) {
            const std::size_t n = layout_.columns[c];
            ok = PutHex(p, n) && (c + 1 == layout_.columnCount || Put(",", 1, true));
            p += n;
        }
        ok = ok && Put(kLineEnd, 2, false);
    }
    return Finish(ok);
}

std::uint32_t DataFileWriter::WriteSerialRecord(const char* record, std::size_t length,
                                                bool* last) {
    const std::size_t prefix = SerialPrefixLength(layout_);
    const std::uint32_t rc = WriteHex(record + prefix, length > prefix ? length - prefix : 0);
    *last = SerialRecordIsLast(header_, record, length);
    return rc;
}

std::uint32_t DataFileWriter::WriteDataBlock(const std::uint8_t* data, std::size_t length) {
    if (length <= kBlockPrefix) return OL_OK;
    return WriteBytes(data + kBlockPrefix, length - kBlockPrefix);
}

// ---------------------------------------------------------------------------
// Reply files and Ol_Read files

std::uint32_t WriteRecordLine(File& file, const void* data, std::size_t count,
                              std::uint32_t* byteCount) {
    if (!file.WriteAll(data, count)) return OL_DATA_FILE;
    if (byteCount != nullptr) *byteCount += static_cast<std::uint32_t>(count);
    return file.WriteAll(kLineEnd, 2) ? OL_OK : OL_DATA_FILE;
}

std::uint32_t WriteBlockReplyLine(File& file, std::uint8_t type, const std::uint8_t* data,
                                  std::size_t count, std::uint32_t* byteCount) {
    const std::uint8_t kind = BlockKind(type);
    std::size_t raw = 0;
    if (kind == kKindRaw) {
        raw = count;
    } else if (kind == kKindHeader) {
        raw = count < kHeaderTagLength ? count : kHeaderTagLength;
    }
    if (!file.WriteAll(data, raw) || !WriteHex(file, data + raw, count - raw)) {
        return OL_DATA_FILE;
    }
    if (byteCount != nullptr) *byteCount += static_cast<std::uint32_t>(raw + 2 * (count - raw));
    return file.WriteAll(kLineEnd, 2) ? OL_OK : OL_DATA_FILE;
}

}  // namespace orv::transfer
