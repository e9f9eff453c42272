// Progress of a running transfer, seen from outside the library: the size of
// the file (or numbered series of files) being received, and elapsed time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace orvctl {

// The name of file number n of a series whose first file is path: numbers 0
// and 1 are path itself; from 2 on, the last '.' of the whole path and what
// follows it become ".%03d" (appended when the path has no '.').
std::string NumberedName(const std::string& path, unsigned n);

// Total size of path and of every numbered file of its series that exists,
// and how many files that is.
struct SeriesSize {
    std::uintmax_t bytes = 0;
    unsigned files = 0;
};
SeriesSize MeasureSeries(const std::string& path);

// Prints a progress line to stderr every interval while alive (only when
// stderr is a terminal, unless forced), and a final line when stopped.
class ProgressLine {
  public:
    ProgressLine(std::string label, std::string watchedPath, bool force = false);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    void Stop();

  private:
    void Run();
    void Print(bool final);

    std::string label_;
    std::string path_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvctl
