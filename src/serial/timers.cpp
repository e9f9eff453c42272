// Tick timers and the line supervisor.
//
// Each timer has a count and a time-out flag, each behind its named mutex. An
// arm writes the flag, then the count; the tick reads the count, lowers it and
// sets the flag when it reaches 0. Were the tick to land between the two
// writes of an arm, the arm would be undone (with the flag first, a timer armed
// while its old count was 1 would read as expired at once; with the count
// first, a 1-tick arm could be lowered to 0 and then have its flag cleared, and
// never expire). So each timer also has a process-local lock, held across a
// whole arm and across the tick's whole update of that timer. The named
// mutexes are still taken for every access, one at a time.
#include "serial/timers.h"

#include <atomic>

#include "api/library.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "platform/clock.h"
#include "serial/lines.h"
#include "serial/serial_cells.h"

namespace orv::serial {

namespace {

constexpr std::int32_t kCarrierWatchTicks = 300;
constexpr std::uint32_t kTickMs = 100;
// The supervisor sleeps toward its next tick in slices of at most this many
// milliseconds, so that a stop is seen soon.
constexpr std::uint32_t kSupervisorSliceMs = 20;

bool ValidIndex(std::int32_t index) {
    return index >= 0 && index < kTimerCount;
}

int CountMutex(std::int32_t index) {
    return MutexTimer1 + index;
}
int FlagMutex(std::int32_t index) {
    return MutexTimeOut1 + index;
}

// Count and flag accesses without the timer's local lock (the caller holds it).
std::uint32_t ReadCount(std::int32_t index) {
    return ReadCell(CountMutex(index), Cells().timers[index].count);
}
void WriteCount(std::int32_t index, std::uint32_t count) {
    WriteCell(CountMutex(index), Cells().timers[index].count, count);
}
void WriteFlag(std::int32_t index, std::uint32_t value) {
    WriteCell(FlagMutex(index), Cells().timers[index].timedOut, value);
}

// The tick's update of one timer: lower a non-zero count, and set the flag when
// it reaches 0. True when the timer expired on this tick.
bool CountDown(std::int32_t index) {
    platform::LocalLock guard(Cells().timers[index].lock);
    std::uint32_t count = ReadCount(index);
    if (count == 0) return false;
    WriteCount(index, count - 1);
    if (count - 1 != 0) return false;
    WriteFlag(index, 1);
    return true;
}

void Restart(std::int32_t index, std::uint32_t count) {
    platform::LocalLock guard(Cells().timers[index].lock);
    WriteCount(index, count);
}

// Last DSR and carrier states the tick saw (-1: none yet), for the trace.
// Only the tick touches them, under the port lock.
int g_seenDsr = -1;
int g_seenCarrier = -1;

void NoteLine(int& seen, bool on, const char* name) {
    int now = on ? 1 : 0;
    if (seen != now) {
        seen = now;
        ORV_TRACE("serial line %s %s", name, on ? "on" : "off");
    }
}

#if defined(ORV_LIB_TESTING)
std::atomic<bool> g_failNextStart{false};
std::atomic<void (*)(std::int32_t)> g_armHook{nullptr};
#endif

void Supervise(void* arg) {
    auto* run = static_cast<std::atomic<std::uint32_t>*>(arg);
    SerialCells& c = Cells();
    c.carrierWatch = GetLineMode();
    ORV_TRACE("serial supervisor: started, carrier watch %u", c.carrierWatch);
    while (run->load() != 0) {
        std::uint32_t now = platform::NowMs();
        if (TickDue(now, c.dueTime)) {
            c.dueTime = now + kTickMs;
            RsTick();
            now = platform::NowMs();
        }
        // Block until just past the due time (a tick needs the clock beyond
        // it), in slices short enough to notice a stop.
        std::uint32_t wait = TickDue(now, c.dueTime) ? 0u : c.dueTime - now + 1u;
        if (wait > kSupervisorSliceMs) wait = kSupervisorSliceMs;
        platform::SleepMs(wait);
    }
    ORV_TRACE("serial supervisor: stopped");
}

}  // namespace

std::int32_t MsToTicks(std::uint32_t ms) {
    constexpr std::uint32_t kLargestLimit = 0x7FFFFFFFu - 99u;
    if (ms > kLargestLimit) return 0;  // the sum would turn negative: no limit
    return static_cast<std::int32_t>((ms + 99u) / 100u);
}

std::int32_t RsSetTimer(std::int32_t index, std::int32_t ticks) {
    if (!ValidIndex(index)) return -1;
    TickTimer& timer = Cells().timers[index];
    platform::LocalLock guard(timer.lock);
    WriteFlag(index, 0);
#if defined(ORV_LIB_TESTING)
    if (auto hook = g_armHook.load()) hook(index);
#endif
    WriteCount(index, static_cast<std::uint32_t>(ticks));
    return 0;
}

std::int32_t RsTimerRunning(std::int32_t index) {
    std::uint32_t calls = Cells().timerTests.fetch_add(1, std::memory_order_relaxed) + 1;
    if ((calls & 63u) == 0) platform::SleepMs(1);
    if (!ValidIndex(index)) return -1;
    return ReadCell(FlagMutex(index), Cells().timers[index].timedOut) == 0 ? 1 : 0;
}

std::int32_t RsGetTimerCount(std::int32_t index) {
    if (!ValidIndex(index)) return -1;
    return static_cast<std::int32_t>(ReadCount(index));
}

std::int32_t RsSetTimerCount(std::int32_t index, std::int32_t count) {
    if (!ValidIndex(index)) return -1;
    Restart(index, static_cast<std::uint32_t>(count));
    return 0;
}

std::int32_t RsSetTimeOutFlag(std::int32_t index, std::uint32_t value) {
    if (!ValidIndex(index)) return -1;
    platform::LocalLock guard(Cells().timers[index].lock);
    WriteFlag(index, value);
    return 0;
}

std::uint32_t RsGetLineStatus() {
    return ReadCell(MutexLineStatus, Cells().lineStatus);
}

void RsSetLineStatus(std::uint32_t value) {
    LockCell(MutexLineStatus);
    std::uint32_t old = Cells().lineStatus.exchange(value, std::memory_order_relaxed);
    UnlockCell(MutexLineStatus);
    if (old != value) ORV_TRACE("serial line status 0x%X -> 0x%X", old, value);
}

void RsTick() {
    SerialCells& c = Cells();
    platform::LocalLock portGuard(c.portLock);
    // Every timer stands still while no port is open.
    if (c.port.load() == nullptr) return;

    if (RsGetLineStatus() == 0) {
        // DSR watch: the register dropping DSR ends the link on this tick.
        bool dsr = RsDsrOn() == 1;
        NoteLine(g_seenDsr, dsr, "DSR");
        if (dsr) {
            Restart(TimerDsrWatch, 1);
        } else if (CountDown(TimerDsrWatch)) {
            ORV_TRACE("serial supervisor: DSR lost");
            RsSetLineStatus(DsrLost);
            RsDropDtr();
        }
        // Carrier watch: counts only while carrier is off and the library is
        // not holding RTS raised.
        bool carrier = RsCarrierOn() == 1;
        NoteLine(g_seenCarrier, carrier, "carrier");
        if (carrier || c.carrierWatch == 0 || RsRtsRaised() == 1) {
            Restart(TimerCarrierWatch, kCarrierWatchTicks);
        } else if (CountDown(TimerCarrierWatch)) {
            ORV_TRACE("serial supervisor: carrier lost");
            RsSetLineStatus(CarrierLost);
            RsDropDtr();
        }
    }
    (void)CountDown(TimerProtocol);
}

std::int32_t StartSerialSupervisor() {
    SerialCells& c = Cells();
    if (c.supervisor != nullptr) StopSerialSupervisor();

    LockCell(MutexManage);
    Core().cancelRequest.store(0, std::memory_order_relaxed);
    Core().lineMode.store(1, std::memory_order_relaxed);
    UnlockCell(MutexManage);
    for (std::int32_t i = 0; i < kTimerCount; ++i) RsSetTimer(i, 0);
    RsSetLineStatus(LineDown);
    WriteCell(MutexRtsState, c.rtsState, 0);
    LockCell(MutexReturn);
    UnlockCell(MutexReturn);

    c.runFlag.store(1);
    bool fail = false;
#if defined(ORV_LIB_TESTING)
    fail = g_failNextStart.exchange(false);
#endif
    c.supervisor = fail ? nullptr : platform::ThreadStart(Supervise, &c.runFlag);
    if (c.supervisor == nullptr) {
        c.runFlag.store(0);
        ORV_TRACE("serial supervisor: thread not created");
        return -1;
    }
    SetState(StateSerialStarted);
    return 0;
}

std::int32_t StopSerialSupervisor() {
    SerialCells& c = Cells();
    if (c.supervisor == nullptr) return 0;
    c.runFlag.store(0);
    platform::ThreadJoin(c.supervisor);
    c.supervisor = nullptr;
    return 0;
}

bool SupervisorRunning() {
    return platform::ThreadRunning(Cells().supervisor);
}

#if defined(ORV_LIB_TESTING)
namespace testing {
void FailNextSupervisorStart() {
    g_failNextStart.store(true);
}
void SetArmHook(void (*hook)(std::int32_t index)) {
    g_armHook.store(hook);
}
}  // namespace testing
#endif

}  // namespace orv::serial
