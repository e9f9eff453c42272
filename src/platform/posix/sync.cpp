// POSIX locks and threads.
//
// A named mutex is a robust, process-shared, recursive pthread mutex in a small
// file that every process of the same user maps, as a Windows named mutex is
// shared within the user's session. The files live where only this user can
// create files: $XDG_RUNTIME_DIR when it is a private directory of ours (owned
// by us, no access for others), otherwise /dev/shm with our effective uid in
// every name ("/dev/shm/OrvLnkManageMutex.1000"). A 32-bit build adds "-32" to
// each name (see kDataModelTag).
//
// Nobody ever sees a file half made: a creator builds the mutex in an unnamed
// (or temporary) file and publishes it under its name with a hard link, which
// fails when the name exists; the loser of that race drops its copy and opens
// the winner's. A process killed at any point of this leaves nothing under the
// name, or a finished mutex.
//
// An existing file is used only when it is a regular file of ours, private to
// us, of exactly the mutex's size, and starts with the mutex's mark and
// layout. Anything else (another user's file, a file others may write, a
// short or foreign file) fails the open, as a failed CreateMutexA does.
//
// A process or thread that dies while owning the mutex, SIGKILL included,
// leaves it to the next waiter (EOWNERDEAD), which marks it consistent and
// owns it; also when the kernel did not hand it on (see
// ReleaseFromVanishedOwner).
//
// The files are never removed: another process may be using them, and
// removing one would let a later process create a second, unrelated mutex
// under the same name.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/sync.h"

namespace orv::platform {

namespace {

constexpr std::uint32_t kMark = 0x4F724D78;  // "OrMx"

struct SharedMutex {
    std::uint32_t mark;
    std::uint32_t layout;  // size of this structure as the creator built it
    pthread_mutex_t mutex;
};

constexpr std::uint32_t kLayout = sizeof(SharedMutex);

// A pthread mutex is laid out differently in a 32-bit and in a 64-bit process
// (its size and the place of its fields), so the two cannot share one. A
// 32-bit build keeps its own files, named with "-32" after the mutex's name;
// otherwise whichever build ran first would own the names for good and the
// other would find only foreign files.
constexpr const char* kDataModelTag = sizeof(void*) == 4 ? "-32" : "";

// Where the named objects of this process live: a directory and the suffix
// each name gets there.
struct Namespace {
    char dir[200];
    char suffix[16];
};

bool PrivateDirOfOurs(const char* dir) {
    if (dir == nullptr || dir[0] != '/' || std::strlen(dir) >= sizeof(Namespace::dir)) {
        return false;
    }
    struct stat st {};
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

#if defined(ORV_LIB_TESTING)
// The test build keeps its objects in a directory of its own, made on first
// use and removed when the process that made it exits, so that tests never
// share a mutex with another program unless they ask to.
enum class TestScope { Private, Given, Real };
TestScope g_scope = TestScope::Private;
char g_privateDir[200];
char g_givenDir[200];
pid_t g_privateDirOwner = 0;

void RemovePrivateDir() {
    if (getpid() != g_privateDirOwner) return;  // a forked child leaves it alone
    if (DIR* d = opendir(g_privateDir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    rmdir(g_privateDir);
}

bool TestNamespace(Namespace& ns) {
    if (g_scope == TestScope::Real) return false;
    if (g_scope == TestScope::Given) {
        std::snprintf(ns.dir, sizeof ns.dir, "%s", g_givenDir);
    } else {
        if (g_privateDirOwner == 0) {
            const char* base = std::getenv("TMPDIR");
            if (base == nullptr || base[0] != '/') base = "/tmp";
            std::snprintf(g_privateDir, sizeof g_privateDir, "%s/orv-objects-XXXXXX", base);
            if (mkdtemp(g_privateDir) == nullptr) return false;
            g_privateDirOwner = getpid();
            std::atexit(RemovePrivateDir);
        }
        std::snprintf(ns.dir, sizeof ns.dir, "%s", g_privateDir);
    }
    ns.suffix[0] = '\0';
    return true;
}
#endif

void FindNamespace(Namespace& ns) {
#if defined(ORV_LIB_TESTING)
    if (TestNamespace(ns)) return;
#endif
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (PrivateDirOfOurs(runtime)) {
        std::snprintf(ns.dir, sizeof ns.dir, "%s", runtime);
        ns.suffix[0] = '\0';
    } else {
        std::snprintf(ns.dir, sizeof ns.dir, "/dev/shm");
        std::snprintf(ns.suffix, sizeof ns.suffix, ".%u", static_cast<unsigned>(geteuid()));
    }
}

bool ObjectPath(const char* name, char* out, std::size_t capacity, Namespace& ns) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.' || std::strchr(name, '/') != nullptr) {
        return false;
    }
    FindNamespace(ns);
    int n = std::snprintf(out, capacity, "%s/%s%s%s", ns.dir, name, kDataModelTag, ns.suffix);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

SharedMutex* MapFile(int fd) {
    void* p = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SharedMutex*>(p);
}

// Maps an existing object if it is a mutex of ours; null otherwise.
SharedMutex* MapValid(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0 || st.st_size != static_cast<off_t>(sizeof(SharedMutex))) {
        return nullptr;
    }
    SharedMutex* shared = MapFile(fd);
    if (shared == nullptr) return nullptr;
    if (shared->mark != kMark || shared->layout != kLayout) {
        munmap(shared, sizeof(SharedMutex));
        return nullptr;
    }
    return shared;
}

bool InitShared(SharedMutex* shared) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(&shared->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    shared->mark = kMark;
    shared->layout = kLayout;
    return ok;
}

// Makes a finished mutex in a file of `dir` that has no name yet (unnamed),
// or a uniquely named temporary one. Returns its descriptor, -1 on failure;
// `temp` holds the temporary name, empty for an unnamed file.
int BuildUnpublished(const char* dir, const char* path, bool unnamed, char* temp,
                     std::size_t capacity) {
    temp[0] = '\0';
    int fd = -1;
    if (unnamed) {
#if defined(O_TMPFILE)
        fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    } else {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            int n = std::snprintf(temp, capacity, "%s.new%ld.%u", path, static_cast<long>(getpid()),
                                  counter.fetch_add(1));
            if (n <= 0 || static_cast<std::size_t>(n) >= capacity) break;
            fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) temp[0] = '\0';
    }
    if (fd < 0) return -1;
    // The mode is set past the umask, which could have taken our own write bit.
    bool ok = fchmod(fd, 0600) == 0 && ftruncate(fd, sizeof(SharedMutex)) == 0;
    if (ok) {
        SharedMutex* shared = MapFile(fd);
        ok = shared != nullptr && InitShared(new (shared) SharedMutex{});
        if (shared != nullptr) munmap(shared, sizeof(SharedMutex));
    }
    if (!ok) {
        close(fd);
        if (temp[0] != '\0') unlink(temp);
        return -1;
    }
    return fd;
}

// Publishes the finished file under `path` with a hard link, which fails with
// EEXIST when another process published first.
bool Publish(int fd, const char* temp, const char* path) {
    if (temp[0] != '\0') {
        int rc = link(temp, path);
        int saved = errno;
        unlink(temp);
        errno = saved;
        return rc == 0;
    }
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Creates the object at path. Null with errno EEXIST when another process
// created it meanwhile.
SharedMutex* CreateNew(const char* dir, const char* path) {
    for (bool unnamed : {true, false}) {
        char temp[320];
        int fd = BuildUnpublished(dir, path, unnamed, temp, sizeof temp);
        if (fd < 0) continue;  // no unnamed files here: a temporary name then
        bool published = Publish(fd, temp, path);
        int saved = errno;
        SharedMutex* shared = published ? MapFile(fd) : nullptr;
        close(fd);
        if (published) return shared;
        if (saved == EEXIST) {
            errno = EEXIST;
            return nullptr;
        }
    }
    errno = EIO;
    return nullptr;
}

// How long a lock is waited for before its owner is looked at.
constexpr long kOwnerCheckMs = 100;

// The kernel hands a robust mutex on when its owner dies, but only when it
// finds the mutex on the dead thread's robust list: a thread that never had one
// (qemu's user-mode emulator refuses set_robust_list), a list cut by memory
// unmapped while the thread lived, or a machine whose processes were dropped
// without exiting leave the mutex owned by a thread that is gone, and every
// later Lock would wait for ever. So a waiter that has waited a slice looks at
// the owner's thread id in the mutex word (glibc keeps it there, with the
// waiters and owner-died bits) and, when no such thread exists, does what the
// kernel does at such a death: marks the word owner-died and wakes a waiter,
// which then owns the mutex with EOWNERDEAD. The word changing meanwhile makes
// the exchange fail, and the wait goes on.
void ReleaseFromVanishedOwner(pthread_mutex_t* m) {
#if defined(__linux__) && defined(__GLIBC__)
    constexpr std::uint32_t kWaiters = 0x80000000u, kOwnerDied = 0x40000000u,
                            kTidMask = 0x3fffffffu;
    auto* word = reinterpret_cast<std::uint32_t*>(&m->__data.__lock);
    std::uint32_t seen = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    auto owner = static_cast<pid_t>(seen & kTidMask);
    if (owner == 0 || (seen & kOwnerDied) != 0) return;
    if (kill(owner, 0) == 0 || errno != ESRCH) return;  // alive, or not ours to see
    std::uint32_t died = (seen & kWaiters) | kOwnerDied;
    if (__atomic_compare_exchange_n(word, &seen, died, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }
#else
    (void)m;
#endif
}

}  // namespace

struct NamedMutex {
    SharedMutex* shared;
};

NamedMutex* NamedMutexOpen(const char* name) {
    Namespace ns;
    char path[256];
    if (!ObjectPath(name, path, sizeof path, ns)) return nullptr;

    SharedMutex* shared = nullptr;
    // The name may appear, or (removed by hand) vanish, between our steps; a
    // few rounds settle it.
    for (int round = 0; round < 4; ++round) {
        // O_NONBLOCK: a FIFO planted under the name must not block the open.
        int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) {
            shared = MapValid(fd);  // ours and whole, or refused for good
            close(fd);
            break;
        }
        if (errno != ENOENT) break;  // there, but not ours to open
        shared = CreateNew(ns.dir, path);
        if (shared != nullptr || errno != EEXIST) break;
    }
    if (shared == nullptr) return nullptr;

    auto* mutex = new (std::nothrow) NamedMutex{shared};
    if (mutex == nullptr) munmap(shared, sizeof(SharedMutex));
    return mutex;
}

void NamedMutexLock(NamedMutex* mutex) {
    if (mutex == nullptr) return;
    pthread_mutex_t* m = &mutex->shared->mutex;
    for (;;) {
        // Waited in slices: between them, an owner that is gone is noticed.
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kOwnerCheckMs * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        int rc = pthread_mutex_timedlock(m, &until);
        if (rc == EOWNERDEAD) pthread_mutex_consistent(m);
        if (rc != ETIMEDOUT) return;
        ReleaseFromVanishedOwner(m);
    }
}

void NamedMutexUnlock(NamedMutex* mutex) {
    if (mutex != nullptr) pthread_mutex_unlock(&mutex->shared->mutex);
}

void NamedMutexClose(NamedMutex* mutex) {
    if (mutex == nullptr) return;
    munmap(mutex->shared, sizeof(SharedMutex));
    delete mutex;
}

#if defined(ORV_LIB_TESTING)
namespace testing {
void SetNamedObjectDir(const char* dir) {
    if (dir == nullptr) {
        g_scope = TestScope::Real;
    } else {
        std::snprintf(g_givenDir, sizeof g_givenDir, "%s", dir);
        g_scope = TestScope::Given;
    }
}
void UsePrivateNamedObjects() {
    g_scope = TestScope::Private;
}
bool NamedObjectPath(const char* name, char* out, std::size_t capacity) {
    Namespace ns;
    return ObjectPath(name, out, capacity, ns);
}
}  // namespace testing
#endif

static_assert(sizeof(pthread_mutex_t) <= 64, "LocalMutex storage too small");

LocalMutex::LocalMutex() : storage_{} {
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), nullptr);
}
LocalMutex::~LocalMutex() {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_));
}
void LocalMutex::Lock() {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_));
}
void LocalMutex::Unlock() {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_));
}

struct Thread {
    pthread_t id;
    ThreadMain fn;
    void* arg;
    std::atomic<bool> running;
};

namespace {
void* ThreadTrampoline(void* p) {
    auto* thread = static_cast<Thread*>(p);
    thread->fn(thread->arg);
    thread->running.store(false);
    return nullptr;
}
}  // namespace

Thread* ThreadStart(ThreadMain fn, void* arg) {
    auto* thread = new (std::nothrow) Thread{};
    if (thread == nullptr) return nullptr;
    thread->fn = fn;
    thread->arg = arg;
    thread->running.store(true);
    if (pthread_create(&thread->id, nullptr, ThreadTrampoline, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void ThreadJoin(Thread* thread) {
    if (thread == nullptr) return;
    pthread_join(thread->id, nullptr);
    delete thread;
}

bool ThreadRunning(Thread* thread) {
    return thread != nullptr && thread->running.load();
}

std::uint32_t CurrentThreadId() {
#if defined(__linux__)
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
#else
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pthread_self()));
#endif
}

}  // namespace orv::platform
