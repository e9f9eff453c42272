// The names the library gives the files of a series, for the tools that look
// for them (orvctl's checks and progress, orv-sim's data folder, orv-collect).
#pragma once

#include <cstdio>
#include <string>

// File number n of a series whose first file is path: numbers 0 and 1 are
// path itself; from 2 on, the last '.' of the whole path (a folder's name
// included) and what follows it become ".%03d", appended when the path has
// no '.' at all.
inline std::string NumberedName(const std::string& path, unsigned n) {
    if (n < 2) return path;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03u", n);
    std::string::size_type dot = path.rfind('.');
    return (dot == std::string::npos ? path : path.substr(0, dot)) + suffix;
}

// Whether path is one of the files of the series whose first file is data
// (numbers 1 to 255, as a header counts them): a header received there would
// be overwritten by the data.
inline bool InSeries(const std::string& path, const std::string& data) {
    for (unsigned n = 1; n < 256; ++n) {
        if (path == NumberedName(data, n)) return true;
    }
    return false;
}
