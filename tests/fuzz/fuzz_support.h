// What the fuzz targets share: a private scratch folder, invariant checks
// that stop the run (also on a leaked descriptor), a reader that takes the
// parameters of a case from the front of the fuzzer's input, the entry of a
// target whose first byte picks its case, and the text helpers of the models
// the file targets check against.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

#include "support/descriptors.h"
#include "transfer/hex.h"

namespace orv::fuzz {

// A folder private to this process (0700), made once and removed at exit
// (its name outlives every static destructor for that).
inline const std::string& Scratch() {
    static const std::string* dir = [] {
        auto* made =
            new std::string((std::filesystem::temp_directory_path() / "orv_fuzz_XXXXXX").string());
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

// Stops the run with the broken invariant; libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Fails the run when the case leaves a descriptor open.
struct NoLeak {
    const long before = test::OpenDescriptors();
    ~NoLeak() { FUZZ_CHECK(test::OpenDescriptors() == before); }
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return size_ > 0 ? (--size_, *data_++) : 0; }
    std::uint32_t Word() {
        const std::uint32_t high = Byte();
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

// The entry of a target of several cases: the first byte picks the case,
// which gets the rest; no case may leave a descriptor open.
inline int RunCase(const std::uint8_t* data, std::size_t size,
                   std::initializer_list<void (*)(Input&)> cases) {
    NoLeak noLeak;
    Input in(data, size);
    cases.begin()[in.Byte() % cases.size()](in);
    return 0;
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
// Uppercase hex text of bytes.
inline std::string Hex(std::string_view bytes) {
    std::string out(2 * bytes.size(), '\0');
    orv::BytesToHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), out.data(),
                    static_cast<std::int32_t>(bytes.size()));
    return out;
}
// text without the characters in drop (a NUL is always kept).
inline std::string Without(const std::string& text, const char* drop) {
    std::string out;
    for (char c : text) {
        if (c == '\0' || std::strchr(drop, c) == nullptr) out += c;
    }
    return out;
}

}  // namespace orv::fuzz
