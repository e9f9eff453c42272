// Windows locks and threads: named mutexes are kernel mutexes, the local lock a
// critical section, threads come from CreateThread.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/sync.h"

namespace orv::platform {

struct NamedMutex {
    HANDLE handle;
};

NamedMutex* NamedMutexOpen(const char* name) {
    if (name == nullptr) return nullptr;
    // A name that exists already opens that mutex (ERROR_ALREADY_EXISTS), which
    // is what every process after the first wants.
    HANDLE handle = CreateMutexA(nullptr, FALSE, name);
    if (handle == nullptr) return nullptr;
    auto* mutex = new (std::nothrow) NamedMutex{handle};
    if (mutex == nullptr) CloseHandle(handle);
    return mutex;
}

void NamedMutexLock(NamedMutex* mutex) {
    // WAIT_ABANDONED also grants ownership: an owner that died does not block us.
    if (mutex != nullptr) WaitForSingleObject(mutex->handle, INFINITE);
}

void NamedMutexUnlock(NamedMutex* mutex) {
    if (mutex != nullptr) ReleaseMutex(mutex->handle);
}

void NamedMutexClose(NamedMutex* mutex) {
    if (mutex == nullptr) return;
    CloseHandle(mutex->handle);
    delete mutex;
}

static_assert(sizeof(CRITICAL_SECTION) <= 64, "LocalMutex storage too small");

LocalMutex::LocalMutex() : storage_{} {
    InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
LocalMutex::~LocalMutex() {
    DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void LocalMutex::Lock() {
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void LocalMutex::Unlock() {
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}

struct Thread {
    HANDLE handle;
    ThreadMain fn;
    void* arg;
};

namespace {
DWORD WINAPI ThreadTrampoline(LPVOID p) {
    auto* thread = static_cast<Thread*>(p);
    thread->fn(thread->arg);
    return 0;
}
}  // namespace

Thread* ThreadStart(ThreadMain fn, void* arg) {
    auto* thread = new (std::nothrow) Thread{};
    if (thread == nullptr) return nullptr;
    thread->fn = fn;
    thread->arg = arg;
    DWORD id = 0;
    thread->handle = CreateThread(nullptr, 0, ThreadTrampoline, thread, 0, &id);
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void ThreadJoin(Thread* thread) {
    if (thread == nullptr) return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

bool ThreadRunning(Thread* thread) {
    if (thread == nullptr) return false;
    DWORD code = 0;
    return GetExitCodeThread(thread->handle, &code) && code == STILL_ACTIVE;
}

std::uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

}  // namespace orv::platform
