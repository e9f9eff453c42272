#include "api/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/sync.h"

namespace orv::trace {

std::atomic<bool> g_enabled{false};

namespace {

struct Sink {
    platform::LocalMutex lock;
    std::FILE* file = nullptr;
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

void WritePrefix(std::FILE* file) {
    std::uint32_t ms = platform::NowMs();
    std::fprintf(file, "%10u.%03u [%u] ", ms / 1000u, ms % 1000u, platform::CurrentThreadId());
}

}  // namespace

void Configure() {
    Sink& sink = TheSink();
    platform::LocalLock guard(sink.lock);
    if (sink.file != nullptr) {
        std::fclose(sink.file);
        sink.file = nullptr;
    }
    const char* path = std::getenv("ORV_LIB_TRACE");
    if (path != nullptr && *path != '\0') sink.file = std::fopen(path, "ab");
    g_enabled.store(sink.file != nullptr, std::memory_order_relaxed);
}

void Close() {
    Sink& sink = TheSink();
    platform::LocalLock guard(sink.lock);
    g_enabled.store(false, std::memory_order_relaxed);
    if (sink.file != nullptr) {
        std::fclose(sink.file);
        sink.file = nullptr;
    }
}

void WriteLine(const char* format, ...) {
    Sink& sink = TheSink();
    platform::LocalLock guard(sink.lock);
    if (sink.file == nullptr) return;
    WritePrefix(sink.file);
    va_list args;
    va_start(args, format);
    std::vfprintf(sink.file, format, args);
    va_end(args);
    std::fputc('\n', sink.file);
    std::fflush(sink.file);
}

void WriteHex(const char* what, const std::uint8_t* bytes, std::size_t count) {
    Sink& sink = TheSink();
    platform::LocalLock guard(sink.lock);
    if (sink.file == nullptr) return;
    WritePrefix(sink.file);
    std::fprintf(sink.file, "%s %zu bytes:", what, count);
    for (std::size_t i = 0; i < count; ++i) std::fprintf(sink.file, " %02X", bytes[i]);
    std::fputc('\n', sink.file);
    std::fflush(sink.file);
}

}  // namespace orv::trace
