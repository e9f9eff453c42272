// Counts of what this process holds, for checks that nothing leaked: open
// descriptors, threads and mapped regions (Linux /proc).
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace orv::test {

inline long Entries(const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir), {});
}
inline long OpenDescriptors() {
    return Entries("/proc/self/fd");
}
inline long Threads() {
    return Entries("/proc/self/task");
}
inline long Mappings() {
    std::ifstream maps("/proc/self/maps");
    return static_cast<long>(std::count(std::istreambuf_iterator<char>(maps), {}, '\n'));
}

}  // namespace orv::test
