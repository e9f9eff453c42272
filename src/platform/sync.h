// Locks and threads of the OS layer. The library never uses std::thread or
// std::mutex: these are the only threads and locks it has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::platform {

// A mutex shared by name between the processes of one user that open the same
// name, like a Windows named mutex in the user's session: other users can
// neither open nor block it, and an owner that dies while holding it (even
// killed) does not block the others. Opaque; created and closed only through
// the functions below.
struct NamedMutex;

// Creates the mutex of that name or opens the existing one. Null on failure,
// also when the name is taken by an object that is not such a mutex of ours.
NamedMutex* NamedMutexOpen(const char* name);
// Waits without limit, then owns the mutex (also when the last owner died).
void NamedMutexLock(NamedMutex* mutex);
void NamedMutexUnlock(NamedMutex* mutex);
// Closes this process's handle. Null is ignored.
void NamedMutexClose(NamedMutex* mutex);

#if defined(ORV_LIB_TESTING)
namespace testing {
// The test build keeps its named objects in a private directory of its own
// process (shared with forked children), so that tests never meet another
// program's mutexes. A test may name another directory, or null for the
// shipped library's rules, and return to the private directory later.
void SetNamedObjectDir(const char* dir);
void UsePrivateNamedObjects();
// The file behind a named mutex under the current rules (POSIX).
bool NamedObjectPath(const char* name, char* out, std::size_t capacity);
}  // namespace testing
#endif

// A lock private to this process. Not copyable; lives where it is declared.
class LocalMutex {
  public:
    LocalMutex();
    ~LocalMutex();
    LocalMutex(const LocalMutex&) = delete;
    LocalMutex& operator=(const LocalMutex&) = delete;
    void Lock();
    void Unlock();

  private:
    alignas(8) unsigned char storage_[64];
};

class LocalLock {
  public:
    explicit LocalLock(LocalMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~LocalLock() { mutex_.Unlock(); }
    LocalLock(const LocalLock&) = delete;
    LocalLock& operator=(const LocalLock&) = delete;

  private:
    LocalMutex& mutex_;
};

// A thread of the library's own.
struct Thread;
using ThreadMain = void (*)(void* arg);
// Starts fn(arg) on a new thread. Null when the thread could not be created.
Thread* ThreadStart(ThreadMain fn, void* arg);
// Waits for the thread to end and frees it. Null is ignored.
void ThreadJoin(Thread* thread);
// True while the thread has not ended.
bool ThreadRunning(Thread* thread);
// Identifier of the calling thread, for the trace.
std::uint32_t CurrentThreadId();

}  // namespace orv::platform
