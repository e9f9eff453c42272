#include "transfer/hex.h"

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

void BytesToHex(const std::uint8_t* bytes, char* dest, std::int32_t nbytes) {
    for (std::int32_t i = 0; i < nbytes; ++i) {
        dest[2 * i] = kDigits[bytes[i] >> 4];
        dest[2 * i + 1] = kDigits[bytes[i] & 0xFu];
    }
}

}  // namespace orv
