// Odds and ends of the OS layer that the library frame needs.
#pragma once

#include <cstddef>
#include <cstdio>

namespace orv::platform {

// Copies the library's product version text, with its NUL, into buffer. On
// Windows it is read from the DLL's own version resource; elsewhere it is the
// text built into the library. Leaves buffer untouched when no text is found.
void CopyProductVersion(char* buffer);

// Opens path for appending the trace: a new file is private to the user, and
// child processes of the host do not inherit it. Null on failure.
std::FILE* OpenTraceFile(const char* path);

// The local wall-clock time, "YYYY-MM-DDTHH:MM:SS.mmm" (ISO 8601), with its
// NUL into out (at least 24 bytes).
void LocalTimestamp(char* out, std::size_t size);

}  // namespace orv::platform
