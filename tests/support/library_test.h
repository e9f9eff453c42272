// Shared fixtures for the library's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace orv::test {

// Room for slower execution in the upper bounds of wall-clock checks whose
// failing value lies far above them: the i386 build runs every test program
// under qemu-i386, which translates each instruction.
#if defined(ORV_TEST_EMULATED)
inline constexpr int kSlowdown = 4;
#else
inline constexpr int kSlowdown = 1;
#endif

// Every test case starts and ends with the library as loaded: Ol_End plus a
// reset of every cell, and real time. Each case gets a private temp folder.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string TempPath(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& TempDir() const { return dir_; }

  private:
    std::filesystem::path dir_;
};

}  // namespace orv::test
