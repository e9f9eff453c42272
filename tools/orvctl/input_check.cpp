#include "input_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "progress.h"

namespace orvctl {

namespace {

constexpr std::size_t kHeaderMinBytes = 9, kHeaderMaxBytes = 89;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

int Nibble(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

// A character of a file with its line and column (both from 1).
struct Spot {
    char c;
    unsigned line, column;
};

std::string Where(const std::string& path, const Spot& spot) {
    return path + ":" + std::to_string(spot.line) + ":" + std::to_string(spot.column) + ": ";
}

std::string Describe(char c) {
    if (c == '\r') return "CR";
    if (c == '\n') return "LF";
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        char text[8];
        std::snprintf(text, sizeof text, "byte %02X", static_cast<unsigned char>(c));
        return text;
    }
    return std::string("'") + c + "'";
}

std::string WhyNotHex(char c) {
    if (c >= 'a' && c <= 'f') return Describe(c) + " is lowercase; only 0-9 and A-F are hex here";
    return Describe(c) + " is not a hex digit (0-9, A-F)";
}

// Reads at most limit bytes of path (0: all of it).
std::optional<InputProblem> ReadFile(const std::string& path, std::size_t limit, int status,
                                     const std::string& role, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return InputProblem{status, role + " " + path + ": cannot open: " + std::strerror(errno)};
    }
    try {
        text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {  // a folder, a read error
        return InputProblem{status, role + " " + path + ": cannot read: " + std::strerror(errno)};
    }
    if (limit != 0 && text->size() > limit) text->resize(limit);
    if (text->empty()) return InputProblem{status, role + " " + path + ": the file is empty"};
    return std::nullopt;
}

// The characters of text with their places, without those drop() names.
template <typename Drop>
std::vector<Spot> Spots(const std::string& text, Drop drop) {
    std::vector<Spot> spots;
    unsigned line = 1, column = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!drop(c)) spots.push_back({c, line, column});
        if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return spots;
}

// The header's file numbers and row width, once its text is known good.
struct Header {
    std::vector<std::uint8_t> bytes;
    unsigned rowWidth = 1;
    unsigned rowsPerRecord = 1;
    unsigned firstFile = 0, lastFile = 0;
};

std::optional<InputProblem> CheckHeader(const SendFiles& files, Header* header) {
    const std::string& path = files.header;
    std::string text;
    if (auto problem = ReadFile(path, files.limits.readLimit, 3, "header", &text)) return problem;
    bool filtered = files.headerFormat == 1;
    std::vector<Spot> spots =
        Spots(text, [filtered](char c) { return filtered && (IsLineEnd(c) || c == ','); });
    auto fail = [&](const std::string& what) { return InputProblem{3, "header " + what}; };
    for (const Spot& spot : spots) {
        if (IsHexDigit(spot.c)) continue;
        std::string hint =
            IsLineEnd(spot.c) || spot.c == ',' ? " (--header-format 1 drops CR, LF and ',')" : "";
        return fail(Where(path, spot) + WhyNotHex(spot.c) + hint);
    }
    std::size_t chars = spots.size();
    if (chars % 2 != 0) {
        return fail(Where(path, spots.back()) + "an odd number of hex digits (" +
                    std::to_string(chars) + "): the last one would be dropped");
    }
    if (chars < 2 * kHeaderMinBytes || chars > 2 * kHeaderMaxBytes) {
        return fail(path + ": " + std::to_string(chars / 2) +
                    " header bytes; a header has 9 to 89 bytes (18 to 178 hex digits)");
    }
    for (std::size_t i = 0; i < chars; i += 2) {
        header->bytes.push_back(
            static_cast<std::uint8_t>(Nibble(spots[i].c) * 16 + Nibble(spots[i + 1].c)));
    }
    const std::vector<std::uint8_t>& b = header->bytes;
    if (b[0] != 0) {
        unsigned width = 0;
        for (std::size_t i = kHeaderMinBytes; i < b.size(); ++i) width += b[i];
        if (width == 0) {
            return fail(path +
                        ": byte 0 asks for a table layout, but bytes 9 on give no "
                        "column width");
        }
        if (width > files.limits.rowCapacity) {
            return fail(path + ": the columns add up to a row of " + std::to_string(width) +
                        " bytes; this link carries rows of at most " +
                        std::to_string(files.limits.rowCapacity));
        }
        header->rowWidth = width;
        header->rowsPerRecord = files.limits.rowCapacity / width;
    } else {
        header->rowsPerRecord = files.limits.plainRows;
    }
    header->lastFile = b[8];
    header->firstFile = b[8] >= 2 ? 1u : b[7];
    if (header->firstFile > header->lastFile) {
        return fail(path + ": file number " + std::to_string(b[7]) +
                    " (byte 7) is above the last file number " + std::to_string(b[8]) +
                    " (byte 8): no data file would be sent");
    }
    return std::nullopt;
}

// One data file of the series against the header's row width.
std::optional<InputProblem> CheckDataFile(const std::string& path, const std::string& role,
                                          bool csv, unsigned rowWidth, unsigned rowsPerRecord) {
    std::string text;
    if (auto problem = ReadFile(path, 0, 4, role, &text)) return problem;
    auto fail = [&](const std::string& what) { return InputProblem{4, role + " " + what}; };
    const std::size_t rowChars = 2u * rowWidth;
    std::vector<Spot> spots = Spots(text, [csv](char c) { return csv && c == ','; });
    std::size_t digits = 0, lineDigits = 0;
    const Spot* lineStart = nullptr;
    // Without --csv, line ends go out as data unless only line ends follow.
    std::size_t trailing = spots.size();
    while (!csv && trailing > 0 && IsLineEnd(spots[trailing - 1].c)) --trailing;
    for (std::size_t i = 0; i < spots.size(); ++i) {
        const Spot& spot = spots[i];
        if (IsLineEnd(spot.c)) {
            if (!csv && i < trailing) {
                return fail(Where(path, spot) +
                            "a line end inside the data, which would be sent as data "
                            "(--csv drops CR, LF and ',')");
            }
            if (csv && lineStart != nullptr && lineDigits % rowChars != 0) {
                return fail(Where(path, *lineStart) + "a row of " + std::to_string(lineDigits) +
                            " hex digits; rows are " + std::to_string(rowChars) + " digits (" +
                            std::to_string(rowWidth) + " bytes) wide");
            }
            lineDigits = 0;
            lineStart = nullptr;
            continue;
        }
        if (!IsHexDigit(spot.c)) return fail(Where(path, spot) + WhyNotHex(spot.c));
        if (lineStart == nullptr) lineStart = &spot;
        ++digits;
        ++lineDigits;
    }
    if (csv && lineStart != nullptr && lineDigits % rowChars != 0) {
        return fail(Where(path, *lineStart) + "a row of " + std::to_string(lineDigits) +
                    " hex digits; rows are " + std::to_string(rowChars) + " digits (" +
                    std::to_string(rowWidth) + " bytes) wide");
    }
    if (digits == 0) return fail(path + ": no data in the file");
    if (digits % rowChars != 0) {
        return fail(path + ": " + std::to_string(digits) + " hex digits, not whole rows of " +
                    std::to_string(rowChars) + "; the part row at the end would not be sent");
    }
    // Without --csv the last record is read with the line ends after it; only
    // after a full record are they skipped.
    const std::size_t recordChars = rowChars * rowsPerRecord;
    const std::size_t room = recordChars - digits % recordChars;
    const std::size_t tail = spots.size() - trailing;
    if (!csv && digits % recordChars != 0 && std::min(tail, room) >= rowChars) {
        return fail(Where(path, spots[trailing]) +
                    "the line end after the data would be sent as a row (--csv drops it)");
    }
    return std::nullopt;
}

// A line file: present and not empty; on the network every line is hex pairs.
std::optional<InputProblem> CheckLineFile(const std::string& path, bool hexLines) {
    std::string text;
    if (auto problem = ReadFile(path, 0, 4, "line file", &text)) return problem;
    if (!hexLines) return std::nullopt;
    std::vector<Spot> spots = Spots(text, [](char) { return false; });
    std::size_t lineDigits = 0;
    for (const Spot& spot : spots) {
        if (IsLineEnd(spot.c)) {
            if (lineDigits % 2 != 0) {
                return InputProblem{4, "line file " + Where(path, spot) +
                                           "an odd number of hex digits on the line"};
            }
            lineDigits = 0;
            continue;
        }
        if (!IsHexDigit(spot.c)) {
            return InputProblem{4, "line file " + Where(path, spot) + WhyNotHex(spot.c)};
        }
        ++lineDigits;
    }
    if (lineDigits % 2 != 0) {
        return InputProblem{4, "line file " + Where(path, spots.back()) +
                                   "an odd number of hex digits on the line"};
    }
    return std::nullopt;
}

}  // namespace

HeaderLimits SerialLimits() {
    return {1000, 496, 495};
}

HeaderLimits NetworkLimits() {
    return {2907, 1449, 1449};
}

HeaderLimits UsbLimits() {
    return {2001, 996, 996};
}

std::optional<InputProblem> CheckSendFiles(const SendFiles& files) {
    if (files.header.empty()) {
        if (files.data.empty()) return std::nullopt;
        return CheckLineFile(files.data, files.hexLines);
    }
    Header header;
    if (auto problem = CheckHeader(files, &header)) return problem;
    if (files.data.empty()) return std::nullopt;
    for (unsigned k = header.firstFile; k <= header.lastFile; ++k) {
        std::string role = "data file " + std::to_string(k) + " of the series";
        if (auto problem = CheckDataFile(NumberedName(files.data, k), role, files.csv,
                                         header.rowWidth, header.rowsPerRecord)) {
            return problem;
        }
    }
    return std::nullopt;
}

std::vector<std::string> SeriesFiles(const SendFiles& files) {
    std::vector<std::string> names;
    if (files.data.empty()) return names;
    Header header;
    if (files.header.empty() || CheckHeader(files, &header)) return {files.data};
    for (unsigned k = header.firstFile; k <= header.lastFile; ++k) {
        names.push_back(NumberedName(files.data, k));
    }
    return names;
}

std::optional<InputProblem> CheckPlainFile(const std::string& path) {
    std::string text;
    return ReadFile(path, 0, 4, "file", &text);
}

}  // namespace orvctl
