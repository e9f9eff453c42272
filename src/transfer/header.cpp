#include "transfer/header.h"

#include <cstring>

#include "api/trace.h"
#include "transfer/files.h"
#include "transfer/hex.h"

namespace orv::transfer {

namespace {

// Indexed by LinkKind; LinkNone borrows the serial numbers.
constexpr LinkFormat kFormats[] = {
    {1000, 496, 495, true},     // none
    {1000, 496, 495, true},     // serial: R = (992 / W) / 2, which is 496 / W
    {2907, 1449, 1449, false},  // network
    {2001, 996, 996, true},     // USB
};

TransferState g_state{};

// Header bytes 0-8 into their fields.
void SetField(TransferHeader* out, std::size_t index, std::uint8_t value) {
    switch (index) {
        case 0:
            out->tableFlag = value;
            break;
        case 1:
            out->unsplitFlag = value;
            break;
        case 7:
            out->fileNumber = value;
            break;
        case 8:
            out->lastFileNumber = value;
            break;
        default:
            out->carried[index - 2] = value;
            break;
    }
}

std::size_t Clamp(std::size_t nbytes) {
    return nbytes < kHeaderMaxBytes ? nbytes : kHeaderMaxBytes;
}

// Parses, checks and records an accepted header of nbytes bytes whose hex
// text is hex (2 * nbytes characters).
std::uint32_t Accept(const TransferHeader& header, std::size_t nbytes, LinkKind link,
                     const char* hex) {
    RowLayout layout{};
    if (!DeriveLayout(header, nbytes, link, &layout)) {
        ORV_TRACE("transfer: received header of %u bytes refused", static_cast<unsigned>(nbytes));
        return OL_NOT_HEADER;
    }
    g_state.link = link;
    g_state.header = header;
    g_state.layout = layout;
    std::memcpy(g_state.headerHex, hex, 2 * nbytes);
    g_state.headerBytes = nbytes;
    return OL_OK;
}

// The saved block: "/HDR1/" and 178 hex characters, or 89 header bytes.
std::size_t SavedSize(LinkKind link) {
    return FormatOf(link).hexHeader ? kSavedHexBlock : kSavedByteBlock;
}

// Puts the whole saved block back, the bytes behind the header included.
std::size_t Restore(std::uint32_t k, std::uint8_t* dest, std::size_t capacity) {
    const std::size_t length = g_state.savedLength;
    if (length == 0 || length > capacity) return 0;
    const std::size_t saved = SavedSize(g_state.link);
    std::memcpy(dest, g_state.savedBlock, saved < capacity ? saved : capacity);
    if (g_state.header.lastFileNumber != 0) {
        if (FormatOf(g_state.link).hexHeader) {
            char digits[2];
            HexDigits(k, digits, 2);
            std::memcpy(dest + kFileNumberHexAt, digits, 2);
        } else {
            dest[kFileNumberByteAt] = static_cast<std::uint8_t>(k);
        }
    }
    return length;
}

bool HasTag(const void* data, std::size_t length) {
    return length >= kHeaderTagLength && std::memcmp(data, kHeaderTag, kHeaderTagLength) == 0;
}

}  // namespace

const LinkFormat& FormatOf(LinkKind link) {
    return link <= LinkUsb ? kFormats[link] : kFormats[LinkSerial];
}

TransferState& State() {
    return g_state;
}

void ResetState() {
    g_state = TransferState{};
}

void ParseHeaderHex(const char* hex, std::size_t nbytes, TransferHeader* out) {
    *out = TransferHeader{};
    nbytes = Clamp(nbytes);
    for (std::size_t i = 0; i < nbytes; ++i) {
        std::uint8_t value = 0;
        const bool good = HexToBytes(hex + 2 * i, &value, 1) == 0;
        if (i < kHeaderMinBytes) {
            SetField(out, i, good ? value : 0);
        } else {
            if (!good) break;  // the width table ends at the first bad pair
            out->widths[i - kHeaderMinBytes] = value;
        }
    }
}

void ParseHeaderBytes(const std::uint8_t* bytes, std::size_t nbytes, TransferHeader* out) {
    *out = TransferHeader{};
    nbytes = Clamp(nbytes);
    for (std::size_t i = 0; i < nbytes; ++i) {
        if (i < kHeaderMinBytes) {
            SetField(out, i, bytes[i]);
        } else {
            out->widths[i - kHeaderMinBytes] = bytes[i];
        }
    }
}

bool DeriveLayout(const TransferHeader& header, std::size_t nbytes, LinkKind link, RowLayout* out) {
    *out = RowLayout{};
    if (nbytes < kHeaderMinBytes || nbytes > kHeaderMaxBytes) return false;
    const LinkFormat& format = FormatOf(link);
    if (header.tableFlag == 0) {
        out->rowWidth = 1;
        out->rowsPerRecord = format.plainRows;
        return true;
    }
    out->table = true;
    std::uint32_t width = 0;
    for (std::uint8_t w : header.widths) {
        if (w == 0) continue;
        out->columns[out->columnCount++] = w;
        width += w;
    }
    if (out->columnCount == 0 || width > format.rowCapacity) return false;
    out->rowWidth = width;
    out->rowsPerRecord = format.rowCapacity / width;
    out->counterStart = header.widths[0] == 0 ? 1 : 0;
    return true;
}

std::uint32_t PrepareSendHeader(const HeaderFileDesc& desc, LinkKind link,
                                std::uint8_t* blockArea) {
    g_state.savedLength = 0;  // nothing to restore unless this header is accepted
    const LinkFormat& format = FormatOf(link);
    char text[kHeaderReadMax];
    std::size_t length = 0;
    std::uint32_t rc =
        LoadHeaderText(desc.path, desc.format, format.headerReadLimit, text, sizeof text, &length);
    if (rc != OL_OK) return rc;

    // The saved block holds at most 178 characters of header text.
    const std::size_t nbytes = length / 2;
    if (length > kHeaderMaxHex || nbytes < kHeaderMinBytes) {
        ORV_TRACE("transfer: header file text of %u characters refused",
                  static_cast<unsigned>(length));
        return OL_HEADER_FILE;
    }

    // The header block is built in the link's buffer: on the network link a
    // pair that is not hex, and every pair after it, keeps the byte the
    // buffer held (a header file's line end, for one). The saved block is the
    // buffer's first bytes then, its bytes behind the header included.
    TransferState fresh{};
    fresh.link = link;
    std::uint8_t* block = blockArea != nullptr ? blockArea : fresh.savedBlock;
    std::memcpy(block, kHeaderTag, kHeaderTagLength);
    if (format.hexHeader) {
        std::memcpy(block + kHeaderTagLength, text, length);
        fresh.savedLength = kHeaderTagLength + length;
        ParseHeaderHex(text, nbytes, &fresh.header);
    } else {
        HexToSentBytes("header block", text, block + kHeaderTagLength,
                       static_cast<std::int32_t>(nbytes));
        fresh.savedLength = kHeaderTagLength + nbytes;
        ParseHeaderBytes(block + kHeaderTagLength, nbytes, &fresh.header);
    }
    if (block != fresh.savedBlock) std::memcpy(fresh.savedBlock, block, SavedSize(link));
    if (fresh.header.lastFileNumber >= 2) fresh.header.fileNumber = 1;
    std::memcpy(fresh.headerHex, text, 2 * nbytes);
    fresh.headerBytes = nbytes;

    g_state = fresh;
    if (!DeriveLayout(g_state.header, nbytes, link, &g_state.layout)) {
        ORV_TRACE("transfer: header of %u bytes refused (table %u)", static_cast<unsigned>(nbytes),
                  static_cast<unsigned>(g_state.header.tableFlag));
        g_state.savedLength = 0;
        return OL_HEADER_FILE;
    }
    return OL_OK;
}

std::size_t RestoreHeaderBlock(std::uint32_t k, char* dest, std::size_t capacity) {
    return Restore(k, reinterpret_cast<std::uint8_t*>(dest), capacity);
}

std::size_t RestoreHeaderBlock(std::uint32_t k, std::uint8_t* dest, std::size_t capacity) {
    return Restore(k, dest, capacity);
}

std::uint32_t AcceptHeader(const char* data, std::size_t length, LinkKind link) {
    return AcceptHeader(reinterpret_cast<const std::uint8_t*>(data), length, link);
}

std::uint32_t AcceptHeader(const std::uint8_t* data, std::size_t length, LinkKind link) {
    if (data == nullptr || !HasTag(data, length)) return OL_NOT_HEADER;
    const std::uint8_t* body = data + kHeaderTagLength;
    const std::size_t bodyLength = length - kHeaderTagLength;
    TransferHeader header{};
    if (FormatOf(link).hexHeader) {
        const std::size_t nbytes = bodyLength / 2;
        if (nbytes > kHeaderMaxBytes) return OL_NOT_HEADER;
        const char* hex = reinterpret_cast<const char*>(body);
        ParseHeaderHex(hex, nbytes, &header);
        return Accept(header, nbytes, link, hex);
    }
    if (bodyLength > kHeaderMaxBytes) return OL_NOT_HEADER;
    char hex[kHeaderMaxHex];
    BytesToHex(body, hex, static_cast<std::int32_t>(bodyLength));
    ParseHeaderBytes(body, bodyLength, &header);
    return Accept(header, bodyLength, link, hex);
}

std::uint32_t WriteHeaderFile(const HeaderFileDesc& desc) {
    return WriteHeaderText(desc.path, desc.format, g_state.headerHex, g_state.headerBytes);
}

}  // namespace orv::transfer
