#include "api/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/system.h"

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

// Local wall-clock time, so that lines match a register's or simulator's log.
void WritePrefix(std::FILE* file) {
    char stamp[32];
    platform::LocalTimestamp(stamp, sizeof stamp);
    std::fprintf(file, "%s [%u] ", stamp, platform::CurrentThreadId());
}

// One trace line: the time prefix, what body writes to the file, the line end.
template <class Body>
void WriteTraceLine(Body body) {
    Sink& sink = TheSink();
    platform::LocalLock guard(sink.lock);
    if (sink.file == nullptr) return;
    WritePrefix(sink.file);
    body(sink.file);
    std::fputc('\n', sink.file);
    std::fflush(sink.file);
}

const char* ControlName(std::uint8_t byte) {
    switch (byte) {
        case 0x02:
            return "STX";
        case 0x03:
            return "ETX";
        case 0x04:
            return "EOT";
        case 0x05:
            return "ENQ";
        case 0x06:
            return "ACK";
        case 0x0D:
            return "CR";
        case 0x15:
            return "NAK";
        default:
            return nullptr;
    }
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
    if (path != nullptr && *path != '\0') {
        sink.file = platform::OpenTraceFile(path);
        // The one word the library says outside the trace: that it has none.
        if (sink.file == nullptr) {
            std::fprintf(stderr, "Orv_Lib: ORV_LIB_TRACE=%s cannot be opened: %s\n", path,
                         std::strerror(errno));
        }
    }
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
    va_list args;
    va_start(args, format);
    WriteTraceLine([&](std::FILE* file) { std::vfprintf(file, format, args); });
    va_end(args);
}

void WriteHex(const char* what, const std::uint8_t* bytes, std::size_t count) {
    WriteTraceLine([&](std::FILE* file) {
        std::fprintf(file, "%s %zu bytes:", what, count);
        for (std::size_t i = 0; i < count; ++i) std::fprintf(file, " %02X", bytes[i]);
    });
}

void WriteSerial(const char* what, const std::uint8_t* bytes, std::size_t count) {
    WriteTraceLine([&](std::FILE* file) {
        std::fprintf(file, "%s %zu bytes:", what, count);
        bool inText = false;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t byte = bytes[i];
            const bool printable = byte >= 0x20 && byte < 0x7F && byte != '"';
            if (printable) {
                std::fputs(inText ? "" : " \"", file);
                std::fputc(byte, file);
                inText = true;
                continue;
            }
            if (inText) std::fputc('"', file);
            inText = false;
            const char* name = ControlName(byte);
            if (name != nullptr) {
                std::fprintf(file, " %s", name);
            } else {
                std::fprintf(file, " %02X", byte);
            }
        }
        if (inText) std::fputc('"', file);
    });
}

}  // namespace orv::trace
