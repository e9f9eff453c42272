// The POSIX platform layer: named mutexes shared between the processes of one
// user, refused when not wholly ours, robust against a dying or killed owner;
// threads, and the scaled test clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>

#include "platform/clock.h"
#include "platform/sync.h"
#include "support/library_test.h"

namespace {

using namespace orv::platform;
namespace objects = orv::platform::testing;

// The test build keeps named objects in a private directory of this process,
// made before any fork so that children share it.
class NamedMutexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(objects::NamedObjectPath("OrvLnkTestMutex", path_, sizeof path_));
    }
    void TearDown() override { objects::UsePrivateNamedObjects(); }
    std::string name_ = "OrvLnkTestMutex";
    char path_[256];
};

// What a 32-bit build adds to each name: its mutexes have another layout.
const std::string kDataModelTag = sizeof(void*) == 4 ? "-32" : "";

// A child takes the mutex and is killed owning it, either as the kernel sees it
// (the mutex on its robust list) or after it dropped its robust list, as a
// thread under qemu's user-mode emulator has none. Either way the next locker
// gets it within a few seconds; the lock runs in a child of its own so that a
// regression fails here instead of hanging the run.
TEST_F(NamedMutexTest, OwnerKilledWhileHoldingItDoesNotBlockTheOthers) {
    for (bool dropRobustList : {false, true}) {
        SCOPED_TRACE(dropRobustList ? "robust list dropped" : "robust list kept");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t owner = fork();
        if (owner == 0) {
            NamedMutex* theirs = NamedMutexOpen(name_.c_str());
            if (theirs == nullptr) _exit(2);
            NamedMutexLock(theirs);
            if (dropRobustList) {
                static struct {
                    void* next;
                    long offset;
                    void* pending;
                } empty{&empty, 0, nullptr};
                syscall(SYS_set_robust_list, &empty, sizeof empty);
            }
            char c = 'x';
            if (write(ready[1], &c, 1) != 1) _exit(3);
            pause();  // killed owning it
            _exit(4);
        }
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        kill(owner, SIGKILL);
        waitpid(owner, nullptr, 0);
        close(ready[0]);
        close(ready[1]);

        pid_t locker = fork();
        if (locker == 0) {
            NamedMutex* mine = NamedMutexOpen(name_.c_str());
            if (mine == nullptr) _exit(2);
            NamedMutexLock(mine);
            NamedMutexUnlock(mine);
            NamedMutexLock(mine);  // consistent again: usable as before
            NamedMutexUnlock(mine);
            _exit(0);
        }
        int status = -1;
        for (int i = 0; i < 500 && waitpid(locker, &status, WNOHANG) == 0; ++i) usleep(10000);
        if (waitpid(locker, &status, WNOHANG) == 0) {
            kill(locker, SIGKILL);
            waitpid(locker, nullptr, 0);
            FAIL() << "the lock still waits 5 s after its owner was killed";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
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

// The shipped rules: the user's private runtime directory when there is one,
// else /dev/shm with the user's id in the name; files only the user can use.
// A 32-bit build's names differ, as its mutexes have another layout, so the
// other build's mutex is never in the way.
TEST_F(NamedMutexTest, LivesWhereOnlyTheUserCanCreateFiles) {
    char runtime[] = "/tmp/orv-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    objects::SetNamedObjectDir(nullptr);  // the shipped rules, until TearDown
    std::string name = name_ + std::to_string(getpid());
    std::string shmPath = "/dev/shm/" + name + kDataModelTag + "." + std::to_string(geteuid());
    char path[256];

    // The runtime directory's mode, whether it is set, where the mutex lives.
    const std::tuple<mode_t, bool, std::string> cases[] = {
        {0700, true, std::string(runtime) + "/" + name + kDataModelTag},
        {0750, true, shmPath},  // not private: not used
        {0700, false, shmPath},
    };
    for (const auto& [runtimeMode, set, expected] : cases) {
        SCOPED_TRACE(expected);
        chmod(runtime, runtimeMode);
        if (set) setenv("XDG_RUNTIME_DIR", runtime, 1);
        if (!set) unsetenv("XDG_RUNTIME_DIR");
        ASSERT_TRUE(objects::NamedObjectPath(name.c_str(), path, sizeof path));
        EXPECT_EQ(std::string(path), expected);
        mode_t oldMask = umask(0);
        NamedMutex* m = NamedMutexOpen(name.c_str());
        umask(oldMask);
        ASSERT_NE(m, nullptr);
        struct stat st {};
        ASSERT_EQ(stat(expected.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid());
        NamedMutexClose(m);
        unlink(expected.c_str());
    }
    EXPECT_TRUE(std::filesystem::is_empty(runtime));
    rmdir(runtime);
}

// Whatever sits under the name and is not a whole mutex of this user (another
// user's object, one others may open, a short or foreign file, a FIFO, a
// link) makes the open fail at once, as a failed CreateMutexA does.
TEST_F(NamedMutexTest, RefusesAnObjectThatIsNotAWholeMutexOfOurs) {
    const std::string path = path_, real = path + "-real";
    auto mutexFile = [&](mode_t mode, uid_t owner) {
        NamedMutexClose(NamedMutexOpen(name_.c_str()));
        return chmod(path.c_str(), mode) == 0 &&
               chown(path.c_str(), owner, static_cast<gid_t>(-1)) == 0;
    };
    auto plainFile = [&](std::size_t size, char fill) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        const std::string bytes(size, fill);
        const bool ok = fd >= 0 && write(fd, bytes.data(), size) == static_cast<ssize_t>(size);
        close(fd);
        return ok;
    };
    const std::pair<const char*, std::function<bool()>> cases[] = {
        {"another user's mutex", [&] { return mutexFile(0600, 4242); }},
        {"a mutex others may write", [&] { return mutexFile(0606, geteuid()); }},
        {"a mutex others may read", [&] { return mutexFile(0640, geteuid()); }},
        {"an empty file", [&] { return plainFile(0, 0); }},
        {"a zero-filled file", [&] { return plainFile(64, 0); }},
        {"a file of text", [&] { return plainFile(4096, 'x'); }},
        {"a FIFO", [&] { return mkfifo(path.c_str(), 0600) == 0; }},
        {"a link to a mutex of ours",
         [&] {
             return mutexFile(0600, geteuid()) && rename(path.c_str(), real.c_str()) == 0 &&
                    symlink(real.c_str(), path.c_str()) == 0;
         }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(plant());
        auto start = std::chrono::steady_clock::now();
        NamedMutex* m = NamedMutexOpen(name_.c_str());
        EXPECT_EQ(m, nullptr);
        EXPECT_LT(orv::test::SecondsSince(start), 0.5);
        NamedMutexClose(m);
        unlink(path.c_str());
        unlink(real.c_str());
    }
    ASSERT_TRUE(mutexFile(0600, geteuid()));  // the name works again once the object is gone
}

// Processes killed at random points while creating mutexes leave nothing that
// stops the next one: the mutex each was making opens at once and works.
TEST_F(NamedMutexTest, ProcessKilledWhileCreatingLeavesNothingInTheWay) {
    auto* progress = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                         PROT_READ | PROT_WRITE,
                                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(progress, MAP_FAILED);
    std::string dir = std::string(path_).substr(0, std::string(path_).rfind('/'));
    int next = 0;
    for (unsigned round = 0; round < 20; ++round) {
        progress->store(-1);
        pid_t child = fork();
        if (child == 0) {
            for (int i = next;; ++i) {
                progress->store(i);
                NamedMutexClose(NamedMutexOpen(("OrvLnkKill" + std::to_string(i)).c_str()));
            }
        }
        while (progress->load() < 0) sched_yield();
        usleep(200 + 150 * round);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        int reached = progress->load();
        for (int i = next; i <= reached + 1; ++i) {
            std::string name = "OrvLnkKill" + std::to_string(i);
            auto start = std::chrono::steady_clock::now();
            NamedMutex* m = NamedMutexOpen(name.c_str());
            ASSERT_NE(m, nullptr) << name << " after a kill in round " << round;
            EXPECT_LT(orv::test::SecondsSince(start), 0.5) << name;
            NamedMutexLock(m);
            NamedMutexUnlock(m);
            NamedMutexClose(m);
        }
        next = reached + 2;
    }
    // Only finished mutexes, no leftovers of the killed creations.
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().string().find(".new"), std::string::npos) << entry.path();
    munmap(progress, sizeof(std::atomic<int>));
}

TEST(Clock, ScaledTimeRunsFasterAndNeverGoesBack) {
    SetTimeScale(100);
    std::uint32_t before = NowMs();
    auto start = std::chrono::steady_clock::now();
    SleepMs(3000);  // 3 s of protocol time
    double real = orv::test::SecondsSince(start) * 1000;
    std::uint32_t after = NowMs();
    EXPECT_LT(real, 500.0 * orv::test::kSlowdown);
    EXPECT_GE(after - before, 3000u);
    EXPECT_EQ(RealWaitMs(1000), 10u);
    EXPECT_EQ(RealWaitMs(1), 1u);  // a wait never shrinks to nothing
    EXPECT_EQ(RealWaitMs(0), 0u);

    SetTimeScale(1);
    std::uint32_t slow = NowMs();
    EXPECT_GE(static_cast<std::int32_t>(slow - after), 0);
    EXPECT_EQ(RealWaitMs(1000), 1000u);
    EXPECT_TRUE(ClockReached(5, 0xFFFFFFF0u));   // after the wrap
    EXPECT_FALSE(ClockReached(0xFFFFFFF0u, 5));  // before it
}

}  // namespace
