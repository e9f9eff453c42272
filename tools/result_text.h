// One-line meanings of the library's result codes, for people: the texts
// orvctl prints and orv-collect puts in its summary table and report.
#pragma once

#include <cstdint>

namespace orv_tools {

// The meaning of a result code; a code the library does not define is the
// system error code of a failed serial write.
const char* ResultMeaning(std::uint32_t code);

}  // namespace orv_tools
