// The library frame through the exports: lifecycle, the rules of every open,
// dispatch without a link, cancel, version and the trace sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "api/library.h"
#include "api/result_codes.h"
#include "orv_lib.h"
#include "support/library_test.h"

namespace {

using orv::Core;

class Frame : public orv::test::LibraryTest {};

TEST_F(Frame, ExportsBeforeInitialiseAndAfterEnd) {
    char text[16];
    std::memset(text, 'x', sizeof text);
    VersionRecord version{text}, empty{nullptr};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Ol_Version(&version), OL_OK);  // at any time
        EXPECT_STREQ(text, "Ver 1.2");
        EXPECT_EQ(Ol_Version(nullptr), OL_OK);
        EXPECT_EQ(Ol_Version(&empty), OL_OK);
        SerialOpenRecord rs{};
        NetworkOpenRecord mws{};
        UsbOpenRecord usb{};
        EXPECT_EQ(Ol_Open_RS(&rs), OL_BAD_STATE);
        EXPECT_EQ(Ol_Open_MWS(&mws), OL_BAD_STATE);
        EXPECT_EQ(Ol_Open_USB(&usb), OL_BAD_STATE);
        EXPECT_EQ(Ol_Cancel(1), OL_BAD_STATE);
        EXPECT_EQ(Ol_Write(nullptr), OL_NO_LINK);
        EXPECT_EQ(Ol_Read(nullptr), OL_NO_LINK);
        EXPECT_EQ(Ol_WriteRead(nullptr, nullptr, nullptr), OL_NO_LINK);
        EXPECT_EQ(Ol_EchoBack(nullptr, nullptr, nullptr), OL_NO_LINK);
        EXPECT_EQ(Ol_SignalWrite(3), OL_BAD_STATE);
        EXPECT_EQ(Ol_Close(), OL_OK);
        Ol_End();
        Ol_End();
        EXPECT_EQ(Core().state.load(), 0u);
        Ol_Initialize();
        Ol_End();
    }
}

TEST_F(Frame, MutexCreationUnwindsOnFailureAndInitialiseTwiceStartsAfresh) {
    orv::testing::FailMutexCreationAt(3);
    Ol_Initialize();
    int closed[32];
    ASSERT_EQ(orv::testing::TakeClosedMutexes(closed, 32), 3);
    EXPECT_EQ(std::vector<int>(closed, closed + 3), (std::vector<int>{2, 1, 0}));  // newest first
    // Slot 3 keeps the failed creation's null.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(orv::testing::MutexSlotKind(i), i == 3 ? 1 : 0) << i;
    EXPECT_EQ(Core().state.load(), 0u);
    SerialOpenRecord rs{};
    EXPECT_EQ(Ol_Open_RS(&rs), OL_BAD_STATE);
    EXPECT_EQ(Ol_Cancel(1), OL_BAD_STATE);
    // A failure at the first mutex has nothing to undo; a later Ol_Initialize works.
    orv::testing::FailMutexCreationAt(0);
    Ol_Initialize();
    EXPECT_EQ(orv::testing::TakeClosedMutexes(closed, 32), 0);
    EXPECT_EQ(Core().state.load(), 0u);
    Ol_Initialize();
    EXPECT_EQ(Core().state.load(), orv::StateInitialised);
    for (int i = 0; i < orv::MutexCount; ++i) EXPECT_EQ(orv::testing::MutexSlotKind(i), 2) << i;

    NetworkOpenRecord mws{};
    EXPECT_EQ(Ol_Open_MWS(&mws), OL_NO_LINK);  // leaves the network link started
    EXPECT_EQ(Core().state.load(), orv::StateInitialised | orv::StateNetworkStarted);
    Ol_Initialize();  // ends the first use completely, then creates fresh mutexes
    EXPECT_EQ(orv::testing::TakeClosedMutexes(closed, 32), orv::MutexCount);
    EXPECT_EQ(Core().state.load(), orv::StateInitialised);
    EXPECT_EQ(Core().openLink.load(), orv::LinkNone);
    for (int i = 0; i < orv::MutexCount; ++i) EXPECT_EQ(orv::testing::MutexSlotKind(i), 2) << i;
}

// A null record, or a connect that fails, leaves the link started but not
// open: the other links are refused until Ol_End.
TEST_F(Frame, StartedButNotOpenBlocksTheOtherLinks) {
    std::uint32_t (*const open[])() = {[] { return Ol_Open_RS(nullptr); },
                                       [] { return Ol_Open_MWS(nullptr); }};
    const std::uint32_t started[] = {orv::StateSerialStarted, orv::StateNetworkStarted};
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        Ol_Initialize();
        EXPECT_EQ(Ol_SignalWrite(3), OL_BAD_STATE);  // needs the serial link
        ASSERT_EQ(Ol_Cancel(1), OL_OK);
        EXPECT_EQ(open[c](), OL_NO_LINK);
        EXPECT_EQ(Core().state.load(), orv::StateInitialised | started[c]);
        EXPECT_EQ(orv::GetCancelRequest(), 0u);  // the start clears a pending cancel
        EXPECT_EQ(Ol_SignalWrite(3), c == 0 ? OL_NO_LINK : OL_BAD_STATE);
        EXPECT_EQ(Core().openLink.load(), orv::LinkNone);
        EXPECT_EQ(open[1 - c](), OL_BAD_STATE);
        EXPECT_EQ(Ol_Open_USB(nullptr), OL_BAD_STATE);
        EXPECT_EQ(Ol_Close(), OL_OK);  // nothing open: changes nothing
        EXPECT_EQ(Core().state.load(), orv::StateInitialised | started[c]);
        EXPECT_EQ(open[c](), OL_NO_LINK);  // the same link may retry
        Ol_End();
    }

    // The USB link has no start of its own: a failed open starts nothing.
    Ol_Initialize();
    EXPECT_EQ(Ol_Open_USB(nullptr), OL_NO_LINK);
    UsbOpenRecord usb{const_cast<char*>("no-such-device")};
    EXPECT_EQ(Ol_Open_USB(&usb), OL_USB_OPEN);
    EXPECT_EQ(Core().state.load(), orv::StateInitialised);
}

// A host's signal thread may cancel just as the main thread ends the library
// or starts it again: the cancel never touches a mutex being closed.
TEST_F(Frame, CancelModesAndACancelAcrossEndAndInitialize) {
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        while (!stop.load()) {
            std::uint32_t a = Ol_Cancel(1), b = Ol_Cancel(0);
            if ((a != OL_OK && a != OL_BAD_STATE) || (b != OL_OK && b != OL_BAD_STATE))
                std::abort();
        }
    });
    for (int cycle = 0; cycle < 5000; ++cycle) {
        Ol_Initialize();
        Ol_End();
    }
    stop.store(true);
    canceller.join();
    // Then the modes: 1 sets the request, 2 and 3 change nothing, 0 clears it.
    Ol_Initialize();
    for (std::uint32_t mode : {4u, 0xFFFFFFFFu}) EXPECT_EQ(Ol_Cancel(mode), OL_BAD_STATE);
    for (std::uint32_t mode : {1u, 2u, 3u}) EXPECT_EQ(Ol_Cancel(mode), OL_OK);
    EXPECT_EQ(orv::GetCancelRequest(), orv::CancelRequested);
    EXPECT_EQ(Ol_Cancel(0), OL_OK);
    EXPECT_EQ(orv::GetCancelRequest(), 0u);
}

TEST_F(Frame, TraceSinkWritesOnlyWhenAsked) {
    std::string path = TempPath("trace.log");
    unsetenv("ORV_LIB_TRACE");
    Ol_Initialize();
    Ol_Cancel(1);
    Ol_End();
    EXPECT_FALSE(std::ifstream(path).good());

    setenv("ORV_LIB_TRACE", path.c_str(), 1);
    orv::testing::FailMutexCreationAt(2);
    Ol_Initialize();  // the field engineer learns which mutex failed
    Ol_Initialize();
    Ol_Cancel(1);
    // Private to the user, and not inherited by the host's child processes.
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) != path) continue;
        EXPECT_NE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC, 0);
    }
    Ol_End();
    const std::string all = orv::test::Slurp(path);
    for (const char* line : {"Ol_Cancel: mode 1", "OrvLnkTimerMutex2 could not be created"})
        EXPECT_NE(all.find(line), std::string::npos) << all;
    // Local wall-clock time, ISO 8601 with milliseconds, then the thread.
    EXPECT_TRUE(std::regex_search(
        all, std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \[\d+\] Ol_Initialize)")))
        << all;

    // A trace that cannot be opened says so once on stderr.
    setenv("ORV_LIB_TRACE", (path + "/not-a-folder/trace.log").c_str(), 1);
    testing::internal::CaptureStderr();
    Ol_Initialize();
    Ol_End();
    unsetenv("ORV_LIB_TRACE");
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not-a-folder/trace.log cannot be opened"), std::string::npos) << said;
}

}  // namespace
