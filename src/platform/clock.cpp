// Scaling of protocol time onto the OS clock. In the shipped library the scale
// is the constant 1 and every function here is a thin pass-through.
#include "platform/clock.h"

#if defined(ORV_LIB_TESTING)
#include <atomic>

#include "platform/sync.h"
#endif

namespace orv::platform {

#if defined(ORV_LIB_TESTING)
namespace {

// Scaled time is base + (raw - rawBase) * factor. Changing the factor rebases,
// so the scaled clock never jumps back.
struct TestClock {
    LocalMutex lock;
    std::atomic<std::uint32_t> factor{1};
    std::uint32_t rawBase = 0;
    std::uint64_t scaledBase = 0;
    bool based = false;
    std::uint64_t last = 0;
};

TestClock& Clock() {
    static TestClock clock;
    return clock;
}

}  // namespace

void SetTimeScale(std::uint32_t factor) {
    TestClock& c = Clock();
    LocalLock guard(c.lock);
    std::uint32_t raw = RawNowMs();
    if (c.based) {
        c.scaledBase += static_cast<std::uint64_t>(raw - c.rawBase) * c.factor.load();
    }
    c.rawBase = raw;
    c.based = true;
    c.factor.store(factor == 0 ? 1 : factor);
}

std::uint32_t TimeScale() {
    return Clock().factor.load();
}

std::uint32_t NowMs() {
    TestClock& c = Clock();
    LocalLock guard(c.lock);
    std::uint32_t raw = RawNowMs();
    if (!c.based) {
        c.rawBase = raw;
        c.scaledBase = raw;
        c.based = true;
    }
    std::uint64_t now =
        c.scaledBase + static_cast<std::uint64_t>(raw - c.rawBase) * c.factor.load();
    if (now < c.last) now = c.last;
    c.last = now;
    return static_cast<std::uint32_t>(now);
}

std::uint32_t RealWaitMs(std::uint32_t ms) {
    if (ms == 0) return 0;
    std::uint32_t real = ms / Clock().factor.load();
    return real == 0 ? 1 : real;
}

#else

std::uint32_t NowMs() {
    return RawNowMs();
}

std::uint32_t RealWaitMs(std::uint32_t ms) {
    return ms;
}

#endif

void SleepMs(std::uint32_t ms) {
    if (ms != 0) RawSleepMs(RealWaitMs(ms));
}

}  // namespace orv::platform
