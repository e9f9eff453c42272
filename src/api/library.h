// Library-wide state of the export frame: the state word, the open link, the
// named mutexes and the management cells they guard.
//
// All state lives for the life of the loaded library; there is no context
// object. Cells that the host's thread shares with the library's own threads
// or with Ol_Cancel are atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

namespace orv {

enum StateBits : std::uint32_t {
    StateInitialised = 0x01,
    StateSerialStarted = 0x02,
    StateNetworkStarted = 0x04,
    StateUsbStarted = 0x08,
};

enum LinkKind : std::uint32_t {
    LinkNone = 0,
    LinkSerial = 1,
    LinkNetwork = 2,
    LinkUsb = 3,
};

// Index of each named mutex in creation order.
enum MutexIndex : int {
    MutexManage = 0,
    MutexTimer1 = 1,
    MutexTimer2 = 2,
    MutexTimer3 = 3,
    MutexLineStatus = 4,
    MutexTimeOut1 = 5,
    MutexTimeOut2 = 6,
    MutexTimeOut3 = 7,
    MutexRtsState = 8,
    MutexReturn = 9,
    MutexCount = 10,
};

extern const char* const kMutexNames[MutexCount];

// A mutex slot that holds no handle (INVALID_HANDLE_VALUE on Windows). A slot
// whose creation failed holds null instead, as the Windows call returned it.
platform::NamedMutex* InvalidMutex();

struct LibraryCore {
    std::atomic<std::uint32_t> state{0};
    std::atomic<std::uint32_t> openLink{LinkNone};
    platform::NamedMutex* mutexes[MutexCount];
    // Held while Ol_Initialize fills the mutex slots and sets the state, while
    // Ol_End empties them and clears it, and across Ol_Cancel's check and
    // access, so a cancel from another thread never uses a mutex being closed.
    platform::LocalMutex slotsLock;
    // Management cells, each access under "OrvLnkManageMutex".
    std::atomic<std::uint32_t> cancelRequest{0};
    std::atomic<std::uint32_t> lineMode{0};

    LibraryCore();
};

LibraryCore& Core();

bool HasState(std::uint32_t bits);
void SetState(std::uint32_t bits);
void ClearState(std::uint32_t bits);

// Takes mutex `index`, runs the access, releases it. A slot without a handle is
// skipped (the cell is still accessed), as a wait on an invalid handle fails.
void LockCell(int index);
void UnlockCell(int index);

// One guarded access: takes mutex `index`, reads or writes the cell, releases.
std::uint32_t ReadCell(int index, const std::atomic<std::uint32_t>& cell);
void WriteCell(int index, std::atomic<std::uint32_t>& cell, std::uint32_t value);

std::uint32_t GetCancelRequest();
void SetCancelRequest(std::uint32_t value);
std::uint32_t GetLineMode();
void SetLineMode(std::uint32_t value);

#if defined(ORV_LIB_TESTING)
namespace testing {
// Makes the creation of mutex `index` fail in the next Ol_Initialize (-1: none).
void FailMutexCreationAt(int index);
// Indexes of the mutexes closed since the last call, in closing order.
int TakeClosedMutexes(int* out, int capacity);
// Mutex slot contents for inspection: 0 invalid, 1 null, 2 a handle.
int MutexSlotKind(int index);
// Returns every cell of the library to its state at load.
void ResetLibrary();
}  // namespace testing
#endif

}  // namespace orv
