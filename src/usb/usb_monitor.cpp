#include "usb/usb_monitor.h"

#include <atomic>

#include "api/library.h"
#include "api/trace.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "usb/usb_cells.h"

namespace orv::usb {

namespace {

constexpr std::uint32_t kPollMs = 100;
constexpr std::uint32_t kPolls = 450;

// Runs on the watch's thread once it can report removals.
void OnReady(void* context) {
    static_cast<UsbCells*>(context)->run.store(RunNotArmed);
    ORV_TRACE("[monitor thread started]");
}

#if defined(ORV_LIB_TESTING)
std::atomic<std::uint32_t> g_removalReports{0};
#endif

// Runs on the watch's thread when the OS reports the device gone.
void OnRemoved(void* context) {
    auto* cells = static_cast<UsbCells*>(context);
    {
        platform::LocalLock lock(cells->portLock);
        const std::int32_t run = cells->run.load();
        if (run != RunArmed || cells->port == nullptr) {
            ORV_TRACE("monitor: USB removal seen while the run value is %d: ignored", run);
        } else {
            ORV_TRACE("monitor: USB removal detected, closing the device");
            cells->port->Close();
        }
    }
#if defined(ORV_LIB_TESTING)
    g_removalReports.fetch_add(1);
#endif
}

void DestroyPort(UsbCells& cells) {
    platform::LocalLock lock(cells.portLock);
    delete cells.port;
    cells.port = nullptr;
}

// Waits for the watch's thread to end and frees it. The 100 ms polls bound
// what the trace reports; the watch is freed only once its thread has ended.
void EndWatch(UsbCells& cells) {
    platform::UsbWatchStop(cells.watch);
    for (std::uint32_t i = 0; i < kPolls && platform::UsbWatchRunning(cells.watch); ++i) {
        platform::SleepMs(kPollMs);
    }
    if (platform::UsbWatchRunning(cells.watch)) {
        ORV_TRACE("monitor: thread still running after %u ms, waiting for its end",
                  kPolls * kPollMs);
    }
    platform::UsbWatchFree(cells.watch);
    cells.watch = nullptr;
    ORV_TRACE("[monitor thread ended]");
}

}  // namespace

#if defined(ORV_LIB_TESTING)
std::uint32_t testing::RemovalReports() {
    return g_removalReports.load();
}
#endif

std::uint32_t StartMonitor() {
    UsbCells& cells = Usb();
    cells.run.store(RunStarting);
    const platform::UsbWatchCallbacks callbacks{&cells, OnReady, OnRemoved};
    cells.watch = platform::UsbWatchStart(cells.port->Device(), callbacks);
    if (cells.watch == nullptr) {
        ORV_TRACE("Ol_Open_USB: the monitor thread cannot be created");
        cells.run.store(RunStopped);
        DestroyPort(cells);
        return OL_START_FAILED;
    }
    for (std::uint32_t i = 0; i <= kPolls && cells.run.load() == RunStarting; ++i) {
        platform::SleepMs(kPollMs);
    }
    if (cells.run.load() == RunStarting) {
        ORV_TRACE("Ol_Open_USB: the monitor thread did not report");
        cells.run.store(RunStopped);
        EndWatch(cells);
        DestroyPort(cells);
        return OL_START_FAILED;
    }
    SetState(StateUsbStarted);
    cells.run.store(RunArmed);
    return OL_OK;
}

std::uint32_t CloseUsb() {
    if (!HasState(StateUsbStarted)) return OL_BAD_STATE;
    UsbCells& cells = Usb();
    if (cells.watch != nullptr) {
        cells.run.store(RunNotArmed);
        EndWatch(cells);
    }
    cells.run.store(RunStopped);
    DestroyPort(cells);
    ClearState(StateUsbStarted);
    return OL_OK;
}

}  // namespace orv::usb
