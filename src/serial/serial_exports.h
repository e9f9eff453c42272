// Exports that only the serial link serves.
#pragma once

#include <cstdint>

namespace orv::serial {

// Ol_SignalWrite: bit 0 drives DTR, bit 1 RTS (1 raise, 0 drop).
std::uint32_t SignalWrite(std::uint32_t lines);

}  // namespace orv::serial
