// POSIX has no version resources: the product version text is built in.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dll/version.h"
#include "platform/system.h"

namespace orv::platform {

void CopyProductVersion(char* buffer) {
    std::memcpy(buffer, ORV_LIB_PRODUCT_VERSION, sizeof ORV_LIB_PRODUCT_VERSION);
}

std::FILE* OpenTraceFile(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "ab");
    if (file == nullptr) close(fd);
    return file;
}

void LocalTimestamp(char* out, std::size_t size) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  now.tv_nsec / 1000000L);
}

}  // namespace orv::platform
