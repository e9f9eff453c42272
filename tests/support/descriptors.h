// Counts of what this process holds, for checks that nothing leaked: open
// descriptors, threads and mapped regions (Linux /proc).
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

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
// The threads left once those already joined are gone: the kernel wakes the
// joiner before it takes the ended thread off the list, so a count read just
// after a join can still include it. Takes the lowest count over 20 ms.
inline long SettledThreads() {
    long low = Threads();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        low = std::min(low, Threads());
    }
    return low;
}
inline long Mappings() {
    std::ifstream maps("/proc/self/maps");
    return static_cast<long>(std::count(std::istreambuf_iterator<char>(maps), {}, '\n'));
}

}  // namespace orv::test
