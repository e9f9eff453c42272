// Odds and ends of the OS layer that the library frame needs.
#pragma once

#include <cstddef>

namespace orv::platform {

// Copies the library's product version text, with its NUL, into buffer. On
// Windows it is read from the DLL's own version resource; elsewhere it is the
// text built into the library. Leaves buffer untouched when no text is found.
void CopyProductVersion(char* buffer);

}  // namespace orv::platform
