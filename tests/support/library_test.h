// Shared fixtures for the library's tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "api/library.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "support/descriptors.h"

namespace orv::test {

// Room for slower execution in the upper bounds of wall-clock checks whose
// failing value lies far above them: the i386 build runs every test program
// under qemu-i386, which translates each instruction.
#if defined(ORV_TEST_EMULATED)
inline constexpr int kSlowdown = 4;
#else
inline constexpr int kSlowdown = 1;
#endif

// What the file at path holds; writing bytes into one.
inline std::string Slurp(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}
inline void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
// The bytes of a text, as a register sends or receives them.
inline std::vector<std::uint8_t> Text(std::string_view text) {
    return {text.begin(), text.end()};
}

// Waits (real time) until cond holds; false after ms.
template <class Cond>
bool WaitUntil(Cond cond, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
// Sets the cancel request from another thread after ms real milliseconds.
inline std::thread CancelAfter(int ms) {
    return std::thread([ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        Ol_Cancel(1);
    });
}
// Runs call while another thread asks for a cancel after 200 ms, and checks
// that the call was waiting then and ends within the next slices.
template <class Fn>
std::uint32_t Cancelled(Fn call) {
    std::thread canceller = CancelAfter(200);
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t rc = call();
    const double took = SecondsSince(start);
    EXPECT_TRUE(took > 0.15 && took < 1.6 * kSlowdown) << took;
    canceller.join();
    return rc;
}

// While it lives, every fclose of a file at path (as the test names it) fails
// the way a network file system reports a delayed write error: the file is
// closed all the same, and fclose returns EOF with EIO. The test programs are
// linked with -Wl,--wrap=fclose, so every fclose of the library passes through
// support/close_failure.cpp.
class CloseFails {
  public:
    explicit CloseFails(const std::string& path);
    ~CloseFails();
    CloseFails(const CloseFails&) = delete;
    CloseFails& operator=(const CloseFails&) = delete;
};

// Every test case starts and ends with the library as loaded: Ol_End plus a
// reset of every cell, and real time. Each case gets a private temp folder.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        orv::testing::ResetLibrary();
        platform::SetTimeScale(1);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ =
            std::filesystem::temp_directory_path() / ("orv_test_" + std::to_string(getpid()) + "_" +
                                                      info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        JoinBackground();
        orv::testing::ResetLibrary();
        platform::SetTimeScale(1);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string TempPath(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& TempDir() const { return dir_; }
    // Runs fn on a thread of its own (a register's part, a canceller) while
    // the host's call waits; joined at the latest in TearDown.
    template <class Fn>
    void Background(Fn fn) {
        JoinBackground();
        background_ = std::thread(fn);
    }
    void JoinBackground() {
        if (background_.joinable()) background_.join();
    }

  private:
    std::filesystem::path dir_;
    std::thread background_;
};

}  // namespace orv::test
