#include "support/library_test.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>

namespace orv::test {

namespace {

std::mutex g_lock;
std::string g_path;  // canonical; empty when nothing is to fail

// The file behind an open stream, as the OS names it.
std::string PathOf(std::FILE* file) {
    const int fd = file != nullptr ? fileno(file) : -1;
    if (fd < 0) return {};
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return error ? std::string() : path.string();
}

bool ShouldFail(std::FILE* file) {
    std::lock_guard<std::mutex> hold(g_lock);
    return !g_path.empty() && PathOf(file) == g_path;
}

}  // namespace

CloseFails::CloseFails(const std::string& path) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_path = std::filesystem::weakly_canonical(path).string();
}

CloseFails::~CloseFails() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_path.clear();
}

}  // namespace orv::test

extern "C" int __real_fclose(std::FILE* file);

extern "C" int __wrap_fclose(std::FILE* file) {
    const bool fail = orv::test::ShouldFail(file);
    const int rc = __real_fclose(file);
    if (!fail || rc != 0) return rc;
    errno = EIO;
    return EOF;
}
