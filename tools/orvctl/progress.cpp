#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "os.h"

namespace orvctl {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

SeriesSnapshot SnapshotSeries(const std::string& path) {
    SeriesSnapshot files;
    std::error_code ec;
    // A file changed in the last seconds cannot be told from one the receive
    // rewrites at once: file systems keep times as coarse as 2 s (FAT), and a
    // rewrite may keep the time. Such a file is left out, so it counts.
    const auto recent = fs::file_time_type::clock::now() - std::chrono::seconds(3);
    for (unsigned n = 1; !path.empty() && n < 1000; ++n) {
        std::string name = NumberedName(path, n);
        auto time = fs::last_write_time(name, ec);
        if (!ec && time < recent) files[name] = time;
    }
    return files;
}

SeriesSize MeasureSeries(const std::string& path, const SeriesSnapshot& before) {
    SeriesSize size;
    if (path.empty()) return size;
    std::error_code ec;
    for (unsigned n = 1; n < 1000; ++n) {
        std::string name = NumberedName(path, n);
        auto bytes = fs::file_size(name, ec);
        if (ec) continue;
        auto old = before.find(name);
        if (old != before.end() && old->second == fs::last_write_time(name, ec)) {
            size.unchanged.push_back(name);
            continue;
        }
        size.bytes += bytes;
        ++size.files;
    }
    return size;
}

namespace {

std::string Seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

ProgressLine::ProgressLine(ProgressSetup setup)
    : setup_(std::move(setup)),
      columns_(StderrColumns()),
      start_(Clock::now()),
      lastGrowth_(start_),
      lastPrint_(start_) {
    std::error_code ec;
    if (!setup_.tracePath.empty()) traceSize_ = fs::file_size(setup_.tracePath, ec);
    for (std::string& name : setup_.sendFiles)
        name = fs::absolute(name, ec).lexically_normal().string();
    ticker_ = std::make_unique<Ticker>([this] { Tick(false); }, std::chrono::milliseconds(250));
}

ProgressLine::~ProgressLine() {
    Stop();
}

void ProgressLine::Stop() {
    if (stopped_) return;
    stopped_ = true;
    ticker_->Stop();
    Tick(true);
}

void ProgressLine::Erase() {
    if (shown_.empty()) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_.size()), "");
    shown_.clear();
}

std::string ProgressLine::SendText() {
    std::error_code ec;
    const std::size_t count = setup_.sendFiles.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = setup_.sendFiles[i];
        long long pos = ReadPosition(name);
        if (pos < 0) continue;
        auto size = fs::file_size(name, ec);
        if (ec) size = 0;
        char text[256];
        std::snprintf(text, sizeof text, "file %zu of %zu (%s): %lld of %ju bytes, %d%%", i + 1,
                      count, fs::path(name).filename().string().c_str(), pos, size,
                      size == 0 ? 100 : static_cast<int>(100 * pos / static_cast<long long>(size)));
        return text;
    }
    return "";
}

void ProgressLine::CopyTrace() {
    std::error_code ec;
    auto size = fs::file_size(setup_.tracePath, ec);
    if (ec || size <= traceSize_) return;
    if (setup_.verbose) {
        std::ifstream in(setup_.tracePath, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(traceSize_));
        // At most 1 MB at a time: the rest follows on the next call, and
        // the length fits a 32-bit size_t.
        std::string chunk(
            static_cast<std::size_t>(std::min<std::uintmax_t>(size - traceSize_, 1u << 20)), '\0');
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::string::size_type end = chunk.rfind('\n');
        if (end == std::string::npos) return;  // wait for the whole line
        size = traceSize_ + end + 1;
        Erase();
        std::fwrite(chunk.data(), 1, end + 1, stderr);
    }
    traceSize_ = size;
    lastGrowth_ = Clock::now();
}

void ProgressLine::Tick(bool final) {
    Clock::time_point now = Clock::now();
    if (!setup_.tracePath.empty()) CopyTrace();
    std::string text;
    if (!setup_.sendFiles.empty()) {
        text = SendText();
    } else if (!setup_.receivePath.empty()) {
        SeriesSize size = MeasureSeries(setup_.receivePath, setup_.receiveBefore);
        double seconds = std::chrono::duration<double>(now - start_).count();
        char line[128];
        std::snprintf(line, sizeof line, "%ju bytes in %u file(s), %.0f bytes/s", size.bytes,
                      size.files, seconds > 0 ? static_cast<double>(size.bytes) / seconds : 0.0);
        text = line;
    }
    bool waiting =
        !final && !setup_.tracePath.empty() && now - lastGrowth_ >= std::chrono::seconds(1);
    if (waiting) {
        auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - lastGrowth_).count();
        text += (text.empty() ? "" : "; ") + std::string("waiting for the register: ") +
                std::to_string(waited) + " s";
        if (setup_.waitLimitMs != 0) {
            text += " of " + std::to_string((setup_.waitLimitMs + 999) / 1000) + " s";
        }
    }
    text = setup_.label + ": " + (text.empty() ? "" : text + ", ") + Seconds(now - start_);
    if (columns_ != 0) {
        if (final && shown_.empty()) return;
        // Within one line of the terminal, so that the carriage return goes
        // back to its start; spaces cover what a longer line left.
        if (text.size() >= columns_) text.resize(columns_ - 1);
        std::size_t cover = shown_.size() > text.size() ? shown_.size() - text.size() : 0;
        std::fprintf(stderr, "\r%s%*s%s", text.c_str(), static_cast<int>(cover), "",
                     final ? "\n" : "");
        shown_ = final ? "" : text;
    } else {
        // Plain lines: not more than one a second, and none for a call that
        // ends within its first second.
        if (final || now - lastPrint_ < std::chrono::seconds(1)) return;
        std::fprintf(stderr, "%s\n", text.c_str());
        lastPrint_ = now;
    }
    std::fflush(stderr);
}

}  // namespace orvctl
