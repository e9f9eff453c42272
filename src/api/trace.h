// Trace sink for field engineers. Silent unless the environment variable
// ORV_LIB_TRACE names a file when Ol_Initialize runs; then every line is
// appended to that file with the local time (ISO 8601, milliseconds) and the
// thread id; a file that cannot be opened is reported once on stderr. When
// off, a call costs one branch.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orv::trace {

extern std::atomic<bool> g_enabled;

inline bool Enabled() {
    return g_enabled.load(std::memory_order_relaxed);
}

// Opens (or reopens) the sink from the environment; closes it when unset.
void Configure();
void Close();

void WriteLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One line: "<what> <n> bytes: XX XX ..." (bytes in hex).
void WriteHex(const char* what, const std::uint8_t* bytes, std::size_t count);
// The same for serial line bytes: control bytes by name (STX, EOT, ENQ, ACK,
// NAK, CR), printable runs as quoted text, other bytes in hex.
void WriteSerial(const char* what, const std::uint8_t* bytes, std::size_t count);

}  // namespace orv::trace

#define ORV_TRACE(...)                                                     \
    do {                                                                   \
        if (::orv::trace::Enabled()) ::orv::trace::WriteLine(__VA_ARGS__); \
    } while (0)

#define ORV_TRACE_SERIAL(what, bytes, count)                                        \
    do {                                                                            \
        if (::orv::trace::Enabled()) ::orv::trace::WriteSerial(what, bytes, count); \
    } while (0)

#define ORV_TRACE_HEX(what, bytes, count)                                        \
    do {                                                                         \
        if (::orv::trace::Enabled()) ::orv::trace::WriteHex(what, bytes, count); \
    } while (0)
