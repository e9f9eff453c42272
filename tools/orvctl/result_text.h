// One-line meanings of the library's result codes, for people.
#pragma once

#include <cstdint>

namespace orvctl {

// The meaning of a result code; a code the library does not define is the
// system error code of a failed serial write.
const char* ResultMeaning(std::uint32_t code);

}  // namespace orvctl
