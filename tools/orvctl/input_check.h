// Checks of the files a send would read, made before the link is opened.
//
// The library sends what it finds: a pair that is not hex becomes the buffer's
// previous bytes, a missing file of a series is skipped, a header of text goes
// out as zeros. orvctl refuses such input up front and says where the problem
// is, unless the user asks for --no-check.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvctl {

// The numbers of a link that shape a send: bytes read from the header file,
// the widest row of a table layout (also the bytes of rows in one record),
// and the bytes in one record of a plain layout.
struct HeaderLimits {
    std::size_t readLimit;
    unsigned rowCapacity;
    unsigned plainRows;
};
HeaderLimits SerialLimits();
HeaderLimits NetworkLimits();
HeaderLimits UsbLimits();

struct SendFiles {
    std::string header;  // empty: no header (a line file, or a command alone)
    unsigned headerFormat = 0;
    std::string data;  // empty: no data file
    bool csv = false;
    bool hexLines = false;  // a line file's lines must be hex pairs (network)
    HeaderLimits limits;
};

// What is wrong, and the exit status to leave with (3 header, 4 data).
struct InputProblem {
    int status;
    std::string text;
};

// Every file the send would read: the header text, then each file of the
// series (or the line file). Nothing when all is well.
std::optional<InputProblem> CheckSendFiles(const SendFiles& files);

// The files a send of a series reads, in order, as far as the header tells
// (the data file alone when the header cannot be read).
std::vector<std::string> SeriesFiles(const SendFiles& files);

// A file sent as it is (Ol_Write, the echo): present, readable, not empty.
std::optional<InputProblem> CheckPlainFile(const std::string& path);

}  // namespace orvctl
