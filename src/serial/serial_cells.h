// The serial link's library-wide cells, in one place: the port, the line flags,
// the tick timers and the supervisor, the frame buffers and the protocol state.
//
// Cells the supervisor thread shares with the application thread are atomics,
// and those the named mutexes guard are read and written only under their
// mutex (through the operations of timers.h and lines.h). Everything else
// belongs to the application thread that runs a serial operation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/serial_port.h"
#include "platform/sync.h"

namespace orv::serial {

// Frame buffers and record sizes.
inline constexpr std::size_t kFrameBufferSize = 1008;
inline constexpr std::int32_t kReceiveStoreLimit = 1005;  // bytes stored per received frame
inline constexpr std::int32_t kMaxFrameData = 1003;       // data bytes a sent frame can hold
inline constexpr std::int32_t kRecordDataMax = 1000;      // data bytes of an accepted record

inline constexpr int kTimerCount = 3;
enum TimerIndex : int {
    TimerDsrWatch = 0,
    TimerCarrierWatch = 1,
    TimerProtocol = 2,
};

struct TickTimer {
    std::atomic<std::uint32_t> count{0};     // under "OrvLnkTimerMutex<i+1>"
    std::atomic<std::uint32_t> timedOut{0};  // under "OrvLnkTmOutMutex<i+1>"
    // Held across a whole arm and across the tick's whole update of this timer,
    // so that the tick never lands between the two guarded writes of an arm.
    platform::LocalMutex lock;
};

// The library's copy of the Ol_Open_RS record.
struct SerialRecordCopy {
    const char* stationAddress = nullptr;  // points to SerialCells::stationAddress once taken
    std::uint32_t portNumber = 0;
    std::uint32_t baudCode = 0;
    std::uint32_t lineMode = 0;
};

struct SerialCells {
    // Port and lines.
    std::atomic<platform::SerialPort*> port{nullptr};  // null: no port open
    // Held by the tick while it uses the port, and by the close while it frees it.
    platform::LocalMutex portLock;
    std::atomic<std::uint32_t> linesNotWatched{0};
    std::uint32_t switchedRts = 0;
    std::atomic<std::uint32_t> rtsState{0};  // under "OrvLnkRtsSttMutex"
    std::atomic<std::uint32_t> lineStatus{
        0x100};  // under "OrvLnkLinSttMutex"; down until a connect

    // Tick timers and the supervisor thread.
    TickTimer timers[kTimerCount];
    platform::Thread* supervisor = nullptr;
    std::atomic<std::uint32_t> runFlag{0};
    std::uint32_t carrierWatch = 0;            // supervisor thread only
    std::uint32_t dueTime = 100;               // supervisor thread only; never reset
    std::atomic<std::uint32_t> timerTests{0};  // calls of RsTimerRunning

    // Frames.
    std::uint8_t sendBuffer[kFrameBufferSize] = {};  // byte 0 doubles as the reply byte
    std::uint8_t receiveBuffer[kFrameBufferSize] = {};
    std::uint32_t stxSeen = 0;
    std::uint32_t frameError = 0;

    // Protocol state of the link procedures; persists between calls and
    // transfers.
    std::uint32_t sendSequence = 0;
    std::uint32_t receiveSequence = 0;
    std::uint32_t firstRecord = 0;
    std::uint32_t recordSeen = 0;

    SerialRecordCopy record;
    char stationAddress[7] = {};
};

SerialCells& Cells();

// Returns every cell to its value at load: stops the supervisor and closes a
// port left open. Used by the test build's full reset.
void ResetCells();

}  // namespace orv::serial
