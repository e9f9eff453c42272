// The POSIX platform layer: named mutexes shared between processes and robust
// against a dying owner, threads, and the scaled test clock.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"

namespace {

using namespace orv::platform;

// A name of this process's own, removed again when the test ends.
class NamedMutexTest : public ::testing::Test {
  protected:
    std::string name_ = "OrvLnkTest" + std::to_string(getpid()) + "Mutex";
    void TearDown() override { shm_unlink(("/" + name_).c_str()); }
};

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST_F(NamedMutexTest, SharedByNameBetweenProcesses) {
    NamedMutex* mine = NamedMutexOpen(name_.c_str());
    ASSERT_NE(mine, nullptr);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        NamedMutex* theirs = NamedMutexOpen(name_.c_str());
        if (theirs == nullptr) _exit(2);
        NamedMutexLock(theirs);
        char c = 'x';
        if (write(ready[1], &c, 1) != 1) _exit(3);
        usleep(300 * 1000);
        NamedMutexUnlock(theirs);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    auto start = std::chrono::steady_clock::now();
    NamedMutexLock(mine);  // blocks until the child lets go
    EXPECT_GE(MsSince(start), 200.0);
    NamedMutexUnlock(mine);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    NamedMutexClose(mine);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(NamedMutexTest, OwnerThatDiesDoesNotBlockTheOthers) {
    pid_t child = fork();
    if (child == 0) {
        NamedMutex* theirs = NamedMutexOpen(name_.c_str());
        if (theirs == nullptr) _exit(2);
        NamedMutexLock(theirs);
        _exit(0);  // dies owning it
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    NamedMutex* mine = NamedMutexOpen(name_.c_str());
    ASSERT_NE(mine, nullptr);
    NamedMutexLock(mine);
    NamedMutexUnlock(mine);
    NamedMutexLock(mine);  // consistent again: usable as before
    NamedMutexUnlock(mine);
    NamedMutexClose(mine);
}

TEST_F(NamedMutexTest, ManyProcessesCreatingAtOnceShareOneMutex) {
    // Children race to create the name, then count under the lock in shared
    // memory; a second, private mutex would lose increments.
    auto* counter = static_cast<int*>(
        mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counter, MAP_FAILED);
    *counter = 0;
    constexpr int kChildren = 6, kRounds = 2000;
    pid_t children[kChildren];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            NamedMutex* m = NamedMutexOpen(name_.c_str());
            if (m == nullptr) _exit(2);
            for (int i = 0; i < kRounds; ++i) {
                NamedMutexLock(m);
                int v = *counter;
                sched_yield();
                *counter = v + 1;
                NamedMutexUnlock(m);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(*counter, kChildren * kRounds);
    munmap(counter, sizeof(int));
}

TEST(Thread, StartsRunsAndJoins) {
    std::atomic<int> value{0};
    Thread* t =
        ThreadStart([](void* arg) { static_cast<std::atomic<int>*>(arg)->store(7); }, &value);
    ASSERT_NE(t, nullptr);
    ThreadJoin(t);
    EXPECT_EQ(value.load(), 7);
    EXPECT_FALSE(ThreadRunning(nullptr));
}

TEST(Clock, WrapSafeComparison) {
    EXPECT_TRUE(ClockReached(100, 100));
    EXPECT_TRUE(ClockReached(101, 100));
    EXPECT_FALSE(ClockReached(99, 100));
    EXPECT_TRUE(ClockReached(5, 0xFFFFFFF0u));   // after the wrap
    EXPECT_FALSE(ClockReached(0xFFFFFFF0u, 5));  // before it
}

TEST(Clock, ScaledTimeRunsFasterAndNeverGoesBack) {
    SetTimeScale(100);
    std::uint32_t before = NowMs();
    auto start = std::chrono::steady_clock::now();
    SleepMs(3000);  // 3 s of protocol time
    double real = MsSince(start);
    std::uint32_t after = NowMs();
    EXPECT_LT(real, 500.0);
    EXPECT_GE(after - before, 3000u);
    EXPECT_EQ(RealWaitMs(1000), 10u);
    EXPECT_EQ(RealWaitMs(1), 1u);  // a wait never shrinks to nothing
    EXPECT_EQ(RealWaitMs(0), 0u);

    SetTimeScale(1);
    std::uint32_t slow = NowMs();
    EXPECT_GE(static_cast<std::int32_t>(slow - after), 0);
    EXPECT_EQ(RealWaitMs(1000), 1000u);
}

}  // namespace
