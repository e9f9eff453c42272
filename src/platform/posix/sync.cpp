// POSIX locks and threads.
//
// A named mutex is a robust, process-shared, recursive pthread mutex living in
// POSIX shared memory under "/<name>", so every process that opens the same
// name shares it, as with a Windows named mutex. The first process creates and
// initialises it (O_EXCL settles which one does), the others wait until it is
// marked ready. A process or thread that dies while owning it leaves it to the
// next waiter (EOWNERDEAD), which marks it consistent and owns it.
//
// The shared-memory object is never unlinked: another process may be using it,
// and unlinking would let a later process create a second, unrelated mutex
// under the same name.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/clock.h"
#include "platform/sync.h"

namespace orv::platform {

namespace {

constexpr std::uint32_t kReadyMagic = 0x4F724D78;  // "OrMx"

struct SharedMutex {
    std::atomic<std::uint32_t> ready;
    pthread_mutex_t mutex;
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

bool InitShared(SharedMutex* shared) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(&shared->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (ok) shared->ready.store(kReadyMagic, std::memory_order_release);
    return ok;
}

// Waits up to about a second for the creating process to size and initialise
// the object; a creator that died half-way leaves it unusable.
SharedMutex* MapExisting(int fd) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        struct stat st {};
        if (fstat(fd, &st) != 0) return nullptr;
        if (static_cast<std::size_t>(st.st_size) >= sizeof(SharedMutex)) {
            void* p = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) return nullptr;
            auto* shared = static_cast<SharedMutex*>(p);
            for (; attempt < 1000; ++attempt) {
                if (shared->ready.load(std::memory_order_acquire) == kReadyMagic) return shared;
                RawSleepMs(1);
            }
            munmap(p, sizeof(SharedMutex));
            return nullptr;
        }
        RawSleepMs(1);
    }
    return nullptr;
}

}  // namespace

struct NamedMutex {
    SharedMutex* shared;
};

NamedMutex* NamedMutexOpen(const char* name) {
    if (name == nullptr) return nullptr;
    char path[256];
    int n = std::snprintf(path, sizeof path, "/%s", name);
    if (n <= 1 || static_cast<std::size_t>(n) >= sizeof path) return nullptr;

    SharedMutex* shared = nullptr;
    int fd = shm_open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);  // shared with other users' processes, as the name is
        if (ftruncate(fd, sizeof(SharedMutex)) == 0) {
            void* p = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) {
                shared = new (p) SharedMutex{};
                if (!InitShared(shared)) {
                    munmap(p, sizeof(SharedMutex));
                    shared = nullptr;
                }
            }
        }
        if (shared == nullptr) shm_unlink(path);
    } else if (errno == EEXIST) {
        fd = shm_open(path, O_RDWR, 0);
        if (fd >= 0) shared = MapExisting(fd);
    }
    if (fd >= 0) close(fd);
    if (shared == nullptr) return nullptr;

    auto* mutex = new (std::nothrow) NamedMutex{shared};
    if (mutex == nullptr) munmap(shared, sizeof(SharedMutex));
    return mutex;
}

void NamedMutexLock(NamedMutex* mutex) {
    if (mutex == nullptr) return;
    int rc = pthread_mutex_lock(&mutex->shared->mutex);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&mutex->shared->mutex);
}

void NamedMutexUnlock(NamedMutex* mutex) {
    if (mutex != nullptr) pthread_mutex_unlock(&mutex->shared->mutex);
}

void NamedMutexClose(NamedMutex* mutex) {
    if (mutex == nullptr) return;
    munmap(mutex->shared, sizeof(SharedMutex));
    delete mutex;
}

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
