// Header text into the transfer header and width table, both ways, on every
// link; hex conversion; numbered file names, also of long paths.
//   byte 0 % 4: 0 a received header block, 1 a header file to send, 2 hex
//   text, 3 a numbered file name; then the case's parameters and its text.
#include <cstring>

#include "fuzz_support.h"
#include "transfer/files.h"
#include "transfer/header.h"
#include "transfer/hex.h"

namespace {

using namespace orv::transfer;
using orv::fuzz::Hex;
using orv::fuzz::Input;
using orv::fuzz::Without;

bool IsHex(const std::string& text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// A received header block: when accepted, the header file written from it
// holds exactly the header that came (format 0: its hex text; format 1: the
// same digits between commas), and sending that file again gives the same
// header and row layout.
void Received(Input& in) {
    const auto link = static_cast<orv::LinkKind>(1 + in.Byte() % 3);
    const bool hexLink = FormatOf(link).hexHeader;
    const std::string block = in.Rest();
    const std::uint32_t rc =
        hexLink
            ? AcceptHeader(block.data(), block.size(), link)
            : AcceptHeader(reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), link);
    FUZZ_CHECK(rc == 0 || rc == OL_NOT_HEADER);
    if (rc != 0) return;
    FUZZ_CHECK(block.compare(0, kHeaderTagLength, kHeaderTag) == 0);
    const TransferState got = State();
    const std::size_t n = got.headerBytes;
    FUZZ_CHECK(n >= kHeaderMinBytes && n <= kHeaderMaxBytes);
    const std::string text = hexLink ? block.substr(kHeaderTagLength, 2 * n)
                                     : Hex(std::string_view(block).substr(kHeaderTagLength, n));
    FUZZ_CHECK(text.size() == 2 * n);

    std::string path = orv::fuzz::ScratchPath("header");
    HeaderFileDesc desc{0, path.data(), 0};
    FUZZ_CHECK(WriteHeaderFile(desc) == 0);
    FUZZ_CHECK(orv::fuzz::Slurp(path) == text);
    if (!IsHex(text)) return;
    desc.format = 1;
    FUZZ_CHECK(WriteHeaderFile(desc) == 0);
    FUZZ_CHECK(Without(orv::fuzz::Slurp(path), ",") == text);

    FUZZ_CHECK(PrepareSendHeader(desc, link) == 0);
    TransferHeader expect = got.header;
    if (expect.lastFileNumber >= 2) expect.fileNumber = 1;
    FUZZ_CHECK(std::memcmp(&State().header, &expect, sizeof expect) == 0);
    FUZZ_CHECK(std::memcmp(&State().layout, &got.layout, sizeof got.layout) == 0);
}

// A header file to send: when it is taken, the saved block is "/HDR1/" and
// the filtered text (hex links) or its bytes, and the restored block of file
// k carries k.
void Sent(Input& in) {
    const auto link = static_cast<orv::LinkKind>(1 + in.Byte() % 3);
    const std::uint8_t formatByte = in.Byte();
    const std::uint32_t format = formatByte < 250 ? formatByte % 2 : formatByte;
    const std::uint32_t k = in.Byte();
    const std::string content = in.Rest();
    std::string path = orv::fuzz::ScratchPath("send_header");
    orv::fuzz::Put(path, content);
    const HeaderFileDesc desc{format, path.data(), 0};
    const std::uint32_t rc = PrepareSendHeader(desc, link);
    FUZZ_CHECK(rc == 0 || rc == OL_HEADER_FILE || (rc == OL_BAD_STATE && format > 1));
    if (rc != 0) return;
    const TransferState& s = State();
    FUZZ_CHECK(s.savedLength > kHeaderTagLength && s.savedLength <= kSavedHexBlock);
    FUZZ_CHECK(std::memcmp(s.savedBlock, kHeaderTag, kHeaderTagLength) == 0);
    FUZZ_CHECK(s.layout.rowWidth >= 1 && s.layout.rowWidth <= FormatOf(link).rowCapacity);
    if (FormatOf(link).hexHeader) {
        std::string text = content.substr(0, FormatOf(link).headerReadLimit);
        if (format == 1) text = Without(text, "\r\n,");
        FUZZ_CHECK(std::string(reinterpret_cast<const char*>(s.savedBlock) + kHeaderTagLength,
                               s.savedLength - kHeaderTagLength) == text);
    }
    char block[kSavedHexBlock];
    const std::size_t length = RestoreHeaderBlock(k, block, sizeof block);
    FUZZ_CHECK(length == s.savedLength);
    if (s.header.lastFileNumber != 0 && FormatOf(link).hexHeader) {
        char digits[2];
        orv::HexDigits(k, digits, 2);
        FUZZ_CHECK(std::memcmp(block + kFileNumberHexAt, digits, 2) == 0);
    }
    FUZZ_CHECK(RestoreHeaderBlock(k, block, s.savedLength - 1) == 0);
}

// Hex text to bytes and back gives the text up to the first bad pair; the
// bytes from that pair on are not written.
void HexText(Input& in) {
    const std::string text = in.Rest();
    const std::int32_t n = static_cast<std::int32_t>(text.size() / 2);
    std::string bytes(static_cast<std::size_t>(n) + 1, '\x5A');
    const std::int32_t rc =
        orv::HexToBytes(text.data(), reinterpret_cast<std::uint8_t*>(bytes.data()), n);
    FUZZ_CHECK(rc == 0 || rc == orv::kHexBadPair);
    FUZZ_CHECK(bytes.back() == '\x5A');
    std::size_t good = 0;
    while (good < static_cast<std::size_t>(n) && IsHex(text.substr(2 * good, 2))) ++good;
    FUZZ_CHECK((rc == 0) == (good == static_cast<std::size_t>(n)));
    FUZZ_CHECK(Hex(std::string_view(bytes).substr(0, good)) == text.substr(0, 2 * good));
    FUZZ_CHECK(bytes.find_first_not_of('\x5A', good) == std::string::npos);  // the rest unwritten
}

// Numbered file names: path unchanged for 0 and 1, else its last extension
// replaced by the number; refused only when the name does not fit.
void Numbered(Input& in) {
    const std::uint32_t n = in.Word();
    const std::size_t repeat = in.Byte();
    const std::size_t capacity = in.Word() % (kPathMax + 64);
    std::string path = in.Rest();
    path = path.substr(0, path.find('\0'));
    const std::string part = path;
    for (std::size_t i = 0; i < repeat % 80; ++i) path += part;
    std::string out(capacity + 1, '\x5A');
    const bool ok = NumberedFileName(path.c_str(), n, out.data(), capacity);
    FUZZ_CHECK(out[capacity] == '\x5A');
    std::string expect = path;
    if (n >= 2) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%03u", n);
        expect = path.substr(0, path.rfind('.')) + suffix;
    }
    FUZZ_CHECK(ok == (expect.size() < capacity));
    if (ok) FUZZ_CHECK(std::string(out.c_str()) == expect);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orv::fuzz::RunCase(data, size, {Received, Sent, HexText, Numbered});
    ResetState();
    return 0;
}
