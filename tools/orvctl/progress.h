// What a running transfer shows on stderr, seen from outside the library:
// the bytes of the file being sent (how far the library has read it) or the
// files being received, the seconds of a wait for the register against its
// limit, and with -v the library's trace as it is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../numbered_name.h"

namespace orvctl {

class Ticker;

// The files of the series at path that exist, with their times of last
// change: taken before a receive, so that files it does not write (left from
// an earlier, longer series) are not taken for its own. Files changed in the
// last seconds are left out (they count as received): a rewrite at once may
// keep their time.
using SeriesSnapshot = std::map<std::string, std::filesystem::file_time_type>;
SeriesSnapshot SnapshotSeries(const std::string& path);

// Total size of path and of every numbered file of its series that exists and
// is new or changed since before, how many files that is, and the files of
// before that are not.
struct SeriesSize {
    std::uintmax_t bytes = 0;
    unsigned files = 0;
    std::vector<std::string> unchanged;
};
SeriesSize MeasureSeries(const std::string& path, const SeriesSnapshot& before = {});

struct ProgressSetup {
    std::string label;                   // "send", "receive", ...
    std::vector<std::string> sendFiles;  // the files a send reads, in order
    std::string receivePath;             // first file of a received series
    SeriesSnapshot receiveBefore;        // its files before the call
    std::string tracePath;               // the library's trace ("" : none)
    bool verbose = false;                // copy the trace to stderr as it grows
    std::uint32_t waitLimitMs = 0;       // the limit of one wait for the register
};

// Redraws one line on a terminal every 250 ms; prints plain lines (at most
// one a second) when stderr is not a terminal.
class ProgressLine {
  public:
    explicit ProgressLine(ProgressSetup setup);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    void Stop();

  private:
    void Tick(bool final);
    void Erase();
    std::string SendText();
    void CopyTrace();

    ProgressSetup setup_;
    unsigned columns_;  // of the terminal; 0: stderr is not a terminal
    std::chrono::steady_clock::time_point start_, lastGrowth_, lastPrint_;
    std::uintmax_t traceSize_ = 0;
    std::string shown_;  // the line on the terminal now
    bool stopped_ = false;
    std::unique_ptr<Ticker> ticker_;
};

}  // namespace orvctl
