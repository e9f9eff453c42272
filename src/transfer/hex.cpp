#include "transfer/hex.h"

#include "api/trace.h"

namespace orv {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void HexDigits(std::uint32_t value, char* dest, std::uint32_t ndigits) {
    for (std::uint32_t i = ndigits; i > 0; --i) {
        dest[i - 1] = kDigits[value & 0xFu];
        value >>= 4;
    }
}

std::int32_t HexToBytes(const char* hex, std::uint8_t* dest, std::int32_t nbytes) {
    for (std::int32_t i = 0; i < nbytes; ++i) {
        int high = DigitValue(hex[2 * i]);
        int low = DigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return kHexBadPair;
        dest[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return 0;
}

std::int32_t HexToSentBytes(const char* what, const char* hex, std::uint8_t* dest,
                            std::int32_t nbytes) {
    const std::int32_t rc = HexToBytes(hex, dest, nbytes);
    if (rc == 0 || !trace::Enabled()) return rc;
    std::int32_t bad = 0;
    while (bad < nbytes && DigitValue(hex[2 * bad]) >= 0 && DigitValue(hex[2 * bad + 1]) >= 0) {
        ++bad;
    }
    const auto shown = [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F ? c
                                                                                             : '?';
    };
    trace::WriteLine(
        "%s: pair %d of %d (\"%c%c\", %02X %02X) is not hex: bytes %d to %d go out as the "
        "buffer's previous bytes",
        what, bad + 1, nbytes, shown(hex[2 * bad]), shown(hex[2 * bad + 1]),
        static_cast<unsigned char>(hex[2 * bad]), static_cast<unsigned char>(hex[2 * bad + 1]),
        bad + 1, nbytes);
    return rc;
}

void BytesToHex(const std::uint8_t* bytes, char* dest, std::int32_t nbytes) {
    for (std::int32_t i = 0; i < nbytes; ++i) {
        dest[2 * i] = kDigits[bytes[i] >> 4];
        dest[2 * i + 1] = kDigits[bytes[i] & 0xFu];
    }
}

}  // namespace orv
