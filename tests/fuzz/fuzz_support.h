// What the fuzz targets share: a private scratch folder, the process's open
// descriptors, invariant checks that stop the run, and a reader that takes
// the parameters of a case from the front of the fuzzer's input.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace orv::fuzz {

// A folder private to this process (0700), made once and removed at exit
// (its name outlives every static destructor for that).
inline const std::string& Scratch() {
    static const std::string* dir = [] {
        const char* base = std::getenv("TMPDIR");
        auto* made =
            new std::string(std::string(base != nullptr ? base : "/tmp") + "/orv_fuzz_XXXXXX");
        if (mkdtemp(made->data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Scratch(), ignored);
        });
        return made;
    }();
    return *dir;
}
inline std::string ScratchPath(const char* name) {
    return Scratch() + "/" + name;
}

inline int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// Stops the run with the broken invariant; libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Fails the run when the case leaves a descriptor open.
class NoLeak {
  public:
    NoLeak() : before_(OpenDescriptors()) {}
    ~NoLeak() { FUZZ_CHECK(OpenDescriptors() == before_); }
    NoLeak(const NoLeak&) = delete;
    NoLeak& operator=(const NoLeak&) = delete;

  private:
    int before_;
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return size_ > 0 ? (--size_, *data_++) : 0; }
    std::uint32_t Word() {
        std::uint32_t high = Byte();
        return high << 8 | Byte();
    }
    // Up to count bytes, as text.
    std::string Take(std::size_t count) {
        if (count > size_) count = size_;
        std::string out(reinterpret_cast<const char*>(data_), count);
        data_ += count;
        size_ -= count;
        return out;
    }
    std::string Rest() { return Take(size_); }
    std::size_t Left() const { return size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace orv::fuzz
