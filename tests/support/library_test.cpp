#include "support/library_test.h"

#include <unistd.h>

#include "api/library.h"
#include "platform/clock.h"

namespace orv::test {

void LibraryTest::SetUp() {
    orv::testing::ResetLibrary();
    platform::SetTimeScale(1);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() / ("orv_test_" + std::to_string(getpid()) + "_" +
                                                     info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
}

void LibraryTest::TearDown() {
    JoinBackground();
    orv::testing::ResetLibrary();
    platform::SetTimeScale(1);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace orv::test
