#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace orvctl {

std::string NumberedName(const std::string& path, unsigned n) {
    if (n < 2) return path;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03u", n);
    std::string::size_type dot = path.rfind('.');
    return (dot == std::string::npos ? path : path.substr(0, dot)) + suffix;
}

SeriesSize MeasureSeries(const std::string& path) {
    SeriesSize size;
    if (path.empty()) return size;
    std::error_code ec;
    for (unsigned n = 1; n < 1000; ++n) {
        std::string name = NumberedName(path, n);
        auto bytes = std::filesystem::file_size(name, ec);
        if (ec) continue;
        size.bytes += bytes;
        ++size.files;
    }
    return size;
}

ProgressLine::ProgressLine(std::string label, std::string watchedPath, bool force)
    : label_(std::move(label)),
      path_(std::move(watchedPath)),
      enabled_(force || isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()) {
    if (enabled_) thread_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
    Stop();
}

void ProgressLine::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        Print(true);
    }
}

void ProgressLine::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
        lock.unlock();
        Print(false);
        lock.lock();
    }
}

void ProgressLine::Print(bool final) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (path_.empty()) {
        std::fprintf(stderr, "\r%s: %.1f s%s", label_.c_str(), elapsed, final ? "\n" : "");
    } else {
        SeriesSize size = MeasureSeries(path_);
        std::fprintf(stderr, "\r%s: %ju bytes in %u file(s), %.1f s%s", label_.c_str(), size.bytes,
                     size.files, elapsed, final ? "\n" : "");
    }
    std::fflush(stderr);
}

}  // namespace orvctl
