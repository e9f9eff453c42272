// What orvctl says about a failure beyond the result code: the library's
// trace of the call, read back and boiled down to the events that explain it,
// and a look at the serial device or the address that an open tried (os.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvctl {

// The library's trace for this run. Unless the user set ORV_LIB_TRACE, it goes
// to a private temporary file that is removed at the end.
class TraceFile {
  public:
    TraceFile();
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;
    const std::string& path() const { return path_; }
    // A private temporary file of this run (not the user's ORV_LIB_TRACE).
    bool owned() const { return own_; }
    // Every line written since the start of this run.
    std::vector<std::string> Lines() const;

  private:
    std::string path_;
    long long start_ = 0;  // size of a user's trace before this run
    bool own_ = false;
};

// The events of a failed call in a few sentences: which block or record was
// sent last, what the register did about it. Empty when nothing fits.
std::vector<std::string> ExplainFailure(const std::vector<std::string>& trace, std::uint32_t code);

}  // namespace orvctl
