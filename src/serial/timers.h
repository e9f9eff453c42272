// The 100 ms tick timers, the line status, and the line supervisor thread that
// counts the timers down and watches DSR and carrier while the link is up.
#pragma once

#include <cstdint>

namespace orv::serial {

// Ticks for a time in milliseconds: (ms + 99) / 100 in signed 32-bit
// arithmetic. 0 ms is 0 ticks, a timer that never expires (no limit); so is a
// time whose sum does not fit (0x7FFFFF9D ms and more, INT_MAX for instance).
std::int32_t MsToTicks(std::uint32_t ms);

// Timer operations; every one returns -1 for an index outside 0..2.
// Arms timer index: clears its time-out flag and sets its count.
std::int32_t RsSetTimer(std::int32_t index, std::int32_t ticks);
// 1 while the timer runs, 0 once it expired. Every 64th call in the process
// first sleeps 1 ms (also a call with a bad index).
std::int32_t RsTimerRunning(std::int32_t index);
std::int32_t RsGetTimerCount(std::int32_t index);
std::int32_t RsSetTimerCount(std::int32_t index, std::int32_t count);
std::int32_t RsSetTimeOutFlag(std::int32_t index, std::uint32_t value);
std::uint32_t RsGetLineStatus();
void RsSetLineStatus(std::uint32_t value);

// One tick: the DSR and carrier watches while the line status is 0, and the
// protocol timer whenever a port is open.
void RsTick();

// True when a tick is due: the clock has passed `due`. Wrap-safe: due times are
// set 100 ms ahead, so one more than 100 ms ahead of now is from a clock epoch
// long past and counts as passed.
constexpr bool TickDue(std::uint32_t now, std::uint32_t due) {
    return due - now > 100u;
}

// Resets the timers, line status and RTS state and starts the supervisor thread
// (stopping one that runs): 0, or -1 when the thread cannot be created.
std::int32_t StartSerialSupervisor();
// Stops the supervisor thread if one runs; returns 0.
std::int32_t StopSerialSupervisor();
bool SupervisorRunning();

#if defined(ORV_LIB_TESTING)
namespace testing {
// Makes the next StartSerialSupervisor fail to create its thread.
void FailNextSupervisorStart();
// Called inside RsSetTimer between its two guarded writes (null: none).
void SetArmHook(void (*hook)(std::int32_t index));
}  // namespace testing
#endif

}  // namespace orv::serial
