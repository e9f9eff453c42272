#include "api/library.h"

#include <cstdint>

namespace orv {

const char* const kMutexNames[MutexCount] = {
    "OrvLnkManageMutex", "OrvLnkTimerMutex1", "OrvLnkTimerMutex2", "OrvLnkTimerMutex3",
    "OrvLnkLinSttMutex", "OrvLnkTmOutMutex1", "OrvLnkTmOutMutex2", "OrvLnkTmOutMutex3",
    "OrvLnkRtsSttMutex", "OrvLnkReturnMutex",
};

platform::NamedMutex* InvalidMutex() {
    return reinterpret_cast<platform::NamedMutex*>(~std::uintptr_t{0});
}

LibraryCore::LibraryCore() {
    for (auto& slot : mutexes) slot = InvalidMutex();
}

LibraryCore& Core() {
    static LibraryCore core;
    return core;
}

bool HasState(std::uint32_t bits) {
    return (Core().state.load() & bits) != 0;
}
void SetState(std::uint32_t bits) {
    Core().state.fetch_or(bits);
}
void ClearState(std::uint32_t bits) {
    Core().state.fetch_and(~bits);
}

namespace {
platform::NamedMutex* UsableSlot(int index) {
    platform::NamedMutex* slot = Core().mutexes[index];
    return (slot == InvalidMutex()) ? nullptr : slot;
}
}  // namespace

void LockCell(int index) {
    platform::NamedMutexLock(UsableSlot(index));
}
void UnlockCell(int index) {
    platform::NamedMutexUnlock(UsableSlot(index));
}

std::uint32_t ReadCell(int index, const std::atomic<std::uint32_t>& cell) {
    LockCell(index);
    std::uint32_t value = cell.load(std::memory_order_relaxed);
    UnlockCell(index);
    return value;
}

void WriteCell(int index, std::atomic<std::uint32_t>& cell, std::uint32_t value) {
    LockCell(index);
    cell.store(value, std::memory_order_relaxed);
    UnlockCell(index);
}

std::uint32_t GetCancelRequest() {
    return ReadCell(MutexManage, Core().cancelRequest);
}
void SetCancelRequest(std::uint32_t value) {
    WriteCell(MutexManage, Core().cancelRequest, value);
}
std::uint32_t GetLineMode() {
    return ReadCell(MutexManage, Core().lineMode);
}
void SetLineMode(std::uint32_t value) {
    WriteCell(MutexManage, Core().lineMode, value);
}

}  // namespace orv
