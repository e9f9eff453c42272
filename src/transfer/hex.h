// Hex text as it travels on the serial line and is written to data files:
// uppercase digit pairs, high nibble first. Lowercase is not hex here.
#pragma once

#include <cstdint>

namespace orv {

// Result of HexToBytes at the first pair that is not two of '0'-'9', 'A'-'F'.
constexpr std::int32_t kHexBadPair = 11;

// Writes ndigits uppercase hex digits of value, most significant first; higher
// digits are dropped (value modulo 16^ndigits). No terminator.
void HexDigits(std::uint32_t value, char* dest, std::uint32_t ndigits);

// Converts nbytes pairs of hex characters into bytes. Returns 0, or 11 at the
// first bad pair: the bytes before it are written, that byte and the rest are
// not. nbytes of 0 or less returns 0.
std::int32_t HexToBytes(const char* hex, std::uint8_t* dest, std::int32_t nbytes);

// HexToBytes for bytes that go out on the link: when a pair is not hex, the
// trace gets one line naming what is sent (what), the pair and its place, and
// how many bytes keep the buffer's previous contents.
std::int32_t HexToSentBytes(const char* what, const char* hex, std::uint8_t* dest,
                            std::int32_t nbytes);

// Writes two uppercase hex digits per byte (2 * nbytes characters, no
// terminator); nbytes of 0 or less writes nothing.
void BytesToHex(const std::uint8_t* bytes, char* dest, std::int32_t nbytes);

}  // namespace orv
