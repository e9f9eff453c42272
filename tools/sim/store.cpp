#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../numbered_name.h"
#include "sim.h"

namespace orvsim {

namespace fs = std::filesystem;

unsigned Header::RowWidth() const {
    if (!table()) return 1;
    unsigned width = 0;
    for (std::size_t i = 9; i < bytes.size(); ++i) width += bytes[i];
    return width;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

namespace {

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // the register is lenient
    return -1;
}

// A served text file without its CR, LF and ','.
bool ReadHexFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->clear();
    try {
        for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) {
            if (*it != '\r' && *it != '\n' && *it != ',') *text += *it;
        }
    } catch (const std::ios_base::failure&) {  // a folder, a read error
        return false;
    }
    return true;
}

bool MakeFolder(const fs::path& path, std::string* problem) {
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        if (fs::is_directory(path)) return true;
        *problem = path.string() + " exists and is not a folder";
        return false;
    }
    *problem = "cannot create the folder " + path.string() + ": " + std::strerror(errno);
    return false;
}

bool WriteNew(const fs::path& path, const std::string& text, std::string* problem) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok) *problem = "cannot write " + path.string() + ": " + std::strerror(errno);
    if (fd >= 0 && close(fd) != 0 && ok) {
        *problem = "cannot write " + path.string() + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

// A file of in/, readable by the user only: what a host sent is its data.
std::FILE* OpenPrivate(const fs::path& path, bool append) {
    int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) close(fd);
    return file;
}

bool WriteText(const fs::path& path, const std::string& text, bool append) {
    std::FILE* file = OpenPrivate(path, append);
    if (file == nullptr) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

constexpr char kSampleReadme[] =
    "A sample series the simulator serves: a header and two data files.\n"
    "\n"
    "header.txt  0100000000000001020203, hex text, one byte per two digits:\n"
    "  byte 0     01      table layout (00: a plain stream of bytes)\n"
    "  byte 1     00      a receiving host splits the rows into columns (01: unsplit)\n"
    "  bytes 2-6  0000000000  carried unchanged; their meaning is the register's\n"
    "  byte 7     01      file number of this file\n"
    "  byte 8     02      last file number: the series is data.txt and data.002\n"
    "  bytes 9-   02 03   column widths in bytes: rows of 5 bytes (10 hex digits)\n"
    "data.txt    rows of file 1, one row per line, hex text\n"
    "data.002    rows of file 2\n"
    "\n"
    "CR, LF and ',' are ignored in every file here, so files a host received\n"
    "(with --csv) can be served back. What a host sends lands in ../in/.\n";

}  // namespace

std::string PrepareDataFolder(const std::string& dir, bool sample) {
    std::string problem;
    fs::path root(dir);
    if (!MakeFolder(root, &problem) || !MakeFolder(root / "out", &problem) ||
        !MakeFolder(root / "in", &problem)) {
        return problem;
    }
    std::error_code ec;
    if (!sample || fs::exists(root / "out" / "header.txt", ec)) return "";
    if (!WriteNew(root / "out" / "header.txt", "0100000000000001020203", &problem) ||
        !WriteNew(root / "out" / "data.txt", "0102030405\r\n0A0B0C0D0E\r\n", &problem) ||
        !WriteNew(root / "out" / "data.002", "F0E0D0C0B0\r\n", &problem) ||
        !WriteNew(root / "out" / "README.txt", kSampleReadme, &problem)) {
        return problem;
    }
    return "";
}

bool FromHex(const std::string& hex, std::vector<std::uint8_t>* out) {
    out->clear();
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        int high = Nibble(hex[i]), low = Nibble(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return hex.size() % 2 == 0;
}

Series LoadSeries(const std::string& dir, std::size_t rowLimit) {
    Series series;
    std::string text;
    std::string headerPath = (fs::path(dir) / "out" / "header.txt").string();
    if (!ReadHexFile(headerPath, &text)) {
        series.error = "no " + headerPath;
        return series;
    }
    if (!FromHex(text, &series.header.bytes) || series.header.bytes.size() < 9 ||
        series.header.bytes.size() > 89) {
        series.error = headerPath + " is not a header of 9 to 89 bytes in hex";
        return series;
    }
    const Header& h = series.header;
    if (h.table() && h.RowWidth() == 0) {
        series.error = headerPath + " has a table layout without column widths";
        return series;
    }
    if (h.table() && h.RowWidth() > rowLimit) {
        series.error = headerPath + " has rows of " + std::to_string(h.RowWidth()) +
                       " bytes; a block of this link carries at most " + std::to_string(rowLimit);
        return series;
    }
    unsigned first = h.lastFileNumber() >= 2 ? 1u : h.fileNumber();
    unsigned last = h.lastFileNumber() >= 2 ? h.lastFileNumber() : first;
    std::string dataPath = (fs::path(dir) / "out" / "data.txt").string();
    for (unsigned k = first; k <= last; ++k) {
        ServedFile file{k, {}};
        if (!ReadHexFile(NumberedName(dataPath, k), &text)) continue;  // a gap in the series
        if (!FromHex(text, &file.data)) {
            series.error = NumberedName(dataPath, k) + " is not hex text";
            series.files.clear();
            return series;
        }
        series.files.push_back(std::move(file));
    }
    if (series.files.empty()) series.error = "no data file " + dataPath;
    return series;
}

std::vector<std::uint8_t> HeaderFor(const Header& header, unsigned k) {
    std::vector<std::uint8_t> bytes = header.bytes;
    if (header.lastFileNumber() != 0) bytes[7] = static_cast<std::uint8_t>(k);
    return bytes;
}

std::vector<std::vector<std::uint8_t>> DataBlocks(const Header& h, const ServedFile& file,
                                                  std::size_t blockData) {
    const unsigned width = h.RowWidth();
    const std::size_t perBlock = h.table() ? blockData / width : blockData;
    const std::size_t rows = file.data.size() / width;
    std::vector<std::vector<std::uint8_t>> blocks;
    std::size_t row = 0;
    unsigned counter = h.CountsRows() ? 1u : 0u;
    do {
        const std::size_t n = std::min(perBlock, rows - row);
        std::vector<std::uint8_t> data = {
            static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter),
            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
        data.insert(data.end(), file.data.begin() + static_cast<long>(row * width),
                    file.data.begin() + static_cast<long>((row + n) * width));
        if (!h.table() || h.CountsRows()) counter += static_cast<unsigned>(n);
        row += n;
        blocks.push_back(std::move(data));
    } while (row < rows);
    return blocks;
}

Inbox::Inbox(std::string dir) : dir_(std::move(dir)) {}

void Inbox::BeginFile(const Header& header, bool firstOfExchange) {
    EndFile();
    fs::path in = fs::path(dir_) / "in";
    if (!firstOfExchange ||
        WriteText(in / "header.txt", ToHex(header.bytes.data(), header.bytes.size()), false)) {
        name_ = NumberedName((in / "data.txt").string(), header.fileNumber());
        file_ = OpenPrivate(name_, false);
    }
    if (file_ == nullptr) Log("sim: cannot create a file in %s/in", dir_.c_str());
    Log("sim: receiving %s", name_.c_str());
}

bool Inbox::AppendData(const std::uint8_t* bytes, std::size_t count) {
    return AppendText(ToHex(bytes, count));
}

bool Inbox::AppendText(const std::string& hex) {
    if (file_ == nullptr) return false;
    return std::fwrite(hex.data(), 1, hex.size(), file_) == hex.size();
}

bool Inbox::AppendDataBlock(const std::vector<std::uint8_t>& data, bool last) {
    if (!InFile()) {
        AppendLine(ToHex(data.data(), data.size()));
        return false;
    }
    if (data.size() > 4) AppendData(data.data() + 4, data.size() - 4);
    if (!last) return false;
    Log("sim: %s complete", name_.c_str());
    EndFile();
    return true;
}

void Inbox::EndFile() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool Inbox::AppendLine(const std::string& text) {
    return WriteText(fs::path(dir_) / "in" / "lines.txt", text + "\r\n", true);
}

}  // namespace orvsim
