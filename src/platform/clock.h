// Time of the OS layer: a millisecond clock and sleeps.
//
// The test build of the library can run time faster by a factor: the clock
// advances factor times faster, and every sleep and every blocking wait slice
// lasts 1/factor of its length, on every thread alike. Behaviour counted in
// milliseconds or ticks stays the same. The shipped library has no such knob.
#pragma once

#include <cstdint>

namespace orv::platform {

// Milliseconds since an arbitrary start; wraps at 2^32 like timeGetTime.
// Never goes back within a process.
std::uint32_t NowMs();

// Sleeps for ms protocol milliseconds.
void SleepMs(std::uint32_t ms);

// Real milliseconds to block for a wait of ms protocol milliseconds (at least 1
// when ms is not 0). Every blocking wait of every link passes its slice here.
std::uint32_t RealWaitMs(std::uint32_t ms);

// Wrap-safe "a is at or after b" on the 32-bit millisecond clock.
constexpr bool ClockReached(std::uint32_t now, std::uint32_t due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

// The OS's own clock and sleep, unscaled; implemented once per OS.
std::uint32_t RawNowMs();
void RawSleepMs(std::uint32_t ms);

#if defined(ORV_LIB_TESTING)
// Test build only: runs time `factor` times faster from now on (1 = real time).
void SetTimeScale(std::uint32_t factor);
std::uint32_t TimeScale();
#endif

}  // namespace orv::platform
