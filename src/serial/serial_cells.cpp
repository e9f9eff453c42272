#include "serial/serial_cells.h"

#include <cstring>

#include "serial/lines.h"
#include "serial/timers.h"

namespace orv::serial {

SerialCells& Cells() {
    static SerialCells cells;
    return cells;
}

void ResetCells() {
    StopSerialSupervisor();
    RsClosePort();
    SerialCells& c = Cells();
    c.linesNotWatched.store(0);
    c.switchedRts = 0;
    c.rtsState.store(0);
    c.lineStatus.store(0x100);
    for (TickTimer& timer : c.timers) {
        timer.count.store(0);
        timer.timedOut.store(0);
    }
    c.runFlag.store(0);
    c.carrierWatch = 0;
    c.dueTime = 100;
    c.timerTests.store(0);
    std::memset(c.sendBuffer, 0, sizeof c.sendBuffer);
    std::memset(c.receiveBuffer, 0, sizeof c.receiveBuffer);
    c.stxSeen = 0;
    c.frameError = 0;
    c.sendSequence = 0;
    c.receiveSequence = 0;
    c.firstRecord = 0;
    c.recordSeen = 0;
    c.record = SerialRecordCopy{};
    std::memset(c.stationAddress, 0, sizeof c.stationAddress);
}

}  // namespace orv::serial
