// The handshakes of the serial link.
#include "serial/procedures.h"

#include <cstring>

#include "api/library.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "platform/clock.h"
#include "serial/frame.h"
#include "serial/lines.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"

namespace orv::serial {

namespace {

constexpr std::int32_t kSelectionSize = 10;

// Sends the reply byte: one byte from the send buffer.
std::uint32_t SendReply() {
    return RsSendBytes(Cells().sendBuffer, 1);
}

std::uint32_t SendReply(std::uint8_t byte) {
    Cells().sendBuffer[0] = byte;
    return SendReply();
}

// The cancel test: when a cancel is requested, EOT goes out (its status is not
// looked at) and the cancel value is returned; else 0.
std::uint32_t CancelTest() {
    std::uint32_t cancel = GetCancelRequest();
    if (cancel != 0) {
        ORV_TRACE("serial procedure cancelled");
        (void)SendReply(Eot);
    }
    return cancel;
}

// Arms the protocol timer for one wait.
void ArmWait(std::uint32_t timeoutMs) {
    RsSetTimer(TimerProtocol, MsToTicks(timeoutMs));
}

std::uint32_t Receive(std::int32_t* count) {
    return RsRecvFrame(Cells().receiveBuffer, count);
}

// Waits up to timeoutMs for the register's answer to what was just sent; a
// stray CR or ENQ is no answer.
std::uint32_t AwaitAnswer(std::uint32_t timeoutMs) {
    ArmWait(timeoutMs);
    std::uint32_t result;
    std::int32_t count = 0;
    do {
        result = Receive(&count);
    } while (result == RxCr || result == RxEnq);
    return result;
}

std::uint32_t NextSequence(std::uint32_t sequence) {
    return sequence >= 9 ? 0 : sequence + 1;
}

// Copies the data of the accepted frame of `count` bytes.
void TakeData(std::int32_t count, std::uint8_t* outData, std::int32_t* outLength) {
    std::int32_t n = count - 5;
    *outLength = n;
    std::memcpy(outData, Cells().receiveBuffer + 2, static_cast<std::size_t>(n));
}

// The wait for ACK of a selection or a bid. 0 on ACK, RxTimeout when the wait
// ran out, or a status that ends the procedure.
std::uint32_t AwaitSelectionAck() {
    for (;;) {
        std::int32_t count = 0;
        std::uint32_t result = Receive(&count);
        std::uint32_t status = RsGetLineStatus();
        if (status != 0) return status;
        if (result == RxAck) {
            Cells().sendSequence = 0;
            return 0;
        }
        if (result == RxTimeout) return RxTimeout;
        // A cancel ends the wait, with EOT as after the last retry; everything
        // else is ignored.
        if (result == CancelRequested) {
            std::uint32_t cancel = CancelTest();
            if (cancel != 0) return cancel;
        }
    }
}

// RsSelect and RsBid after the first transmission of `size` bytes.
std::uint32_t SelectOrBid(std::int32_t size, std::uint32_t timeoutMs, std::uint32_t retries) {
    SerialCells& c = Cells();
    std::uint32_t status = RsSendBytes(c.sendBuffer, size);
    if (status != 0) return status;
    for (;;) {
        ArmWait(timeoutMs);
        std::uint32_t result = AwaitSelectionAck();
        if (result != RxTimeout) return result;
        if (retries == 0) {
            (void)SendReply(Eot);
            return LinkNoAnswer;
        }
        --retries;
        status = RsSendBytes(c.sendBuffer, size);
        if (status != 0) return status;
    }
}

}  // namespace

std::uint32_t RsWaitEnq(std::uint32_t timeoutMs, std::uint32_t retries) {
    std::uint32_t status = SendReply(Eot);
    if (status != 0) return status;
    SerialCells& c = Cells();
    for (;;) {
        ArmWait(timeoutMs);
        std::uint32_t result;
        std::int32_t count = 0;
        do {
            result = Receive(&count);
        } while (result == RxCr || result == RxAck || result == RxNak);

        if (result == RxEot) return LinkEot;
        if (result == RxEnq) {
            c.firstRecord = 1;
            c.receiveSequence = 0;
            c.recordSeen = 0;
            return 0;
        }
        if (result != RxTimeout) return result;
        // The reply byte still holds EOT.
        if (retries == 0) {
            (void)SendReply();
            return LinkNoAnswer;
        }
        --retries;
        status = SendReply();
        if (status != 0) return status;
    }
}

std::uint32_t RsRecvRecord(std::uint8_t* outData, std::int32_t* outLength,
                           std::uint32_t timeoutMs) {
    SerialCells& c = Cells();
    c.sendBuffer[0] = Ack;
    for (;;) {
        std::uint32_t cancel = CancelTest();
        if (cancel != 0) return cancel;
        std::uint32_t status = SendReply();
        if (status != 0) return status;
        ArmWait(timeoutMs);

        // Wait for one record; `resend` goes back to sending the reply byte.
        bool resend = false;
        while (!resend) {
            std::int32_t count = 0;
            std::uint32_t result = Receive(&count);
            if (result == RxAck || result == RxNak) continue;
            if (result == RxEnq) {
                if (c.recordSeen != 0) continue;
                resend = true;  // the register asks again: repeat the reply
                continue;
            }
            if (result == RxEot) return LinkEot;
            if (result == RxTimeout) return LinkNoAnswer;
            if (result > RxTimeout) return result;

            // A frame ended by CR.
            c.recordSeen = 1;
            if (!RsFrameAccepted(count, 7)) {
                c.sendBuffer[0] = Nak;
                resend = true;
                continue;
            }
            std::int32_t digit = static_cast<std::int32_t>(c.receiveBuffer[1]) - 0x30;
            if (c.firstRecord == 0) {
                if (digit == static_cast<std::int32_t>(c.receiveSequence)) {
                    // The record accepted last time, sent again: acknowledge it.
                    c.sendBuffer[0] = Ack;
                    resend = true;
                    continue;
                }
                c.receiveSequence = NextSequence(c.receiveSequence);
            }
            if (digit != static_cast<std::int32_t>(c.receiveSequence)) {
                c.sendBuffer[0] = Nak;
                resend = true;
                continue;
            }
            // Accepted. Its ACK goes out with the next call.
            c.firstRecord = 0;
            TakeData(count, outData, outLength);
            return 0;
        }
    }
}

std::uint32_t RsSelect(const char* stationAddress, std::uint32_t timeoutMs, std::uint32_t retries) {
    std::uint8_t* buffer = Cells().sendBuffer;
    buffer[0] = Eot;
    buffer[1] = Eot;
    buffer[2] = Eot;
    std::memcpy(buffer + 3, stationAddress, 6);
    buffer[9] = Enq;
    return SelectOrBid(kSelectionSize, timeoutMs, retries);
}

std::uint32_t RsBid(std::uint32_t timeoutMs, std::uint32_t retries) {
    Cells().sendBuffer[0] = Enq;
    return SelectOrBid(1, timeoutMs, retries);
}

std::uint32_t RsSendRecord(const std::uint8_t* data, std::int32_t length, std::uint32_t timeoutMs,
                           std::uint32_t retries) {
    SerialCells& c = Cells();
    std::int32_t size = RsBuildFrame(data, length, c.sendSequence);
    std::uint32_t cancel = CancelTest();
    if (cancel != 0) return cancel;
    for (;;) {
        std::uint32_t status = RsSendBytes(c.sendBuffer, size);
        if (status != 0) return status;
        const std::uint32_t result = AwaitAnswer(timeoutMs);

        if (result > RxTimeout) return result;
        if (result == RxEot) return LinkEot;
        if (result == RxAck) {
            c.sendSequence = NextSequence(c.sendSequence);
            return 0;
        }
        if (result == RxNak) {
            platform::SleepMs(100);
            RsPurgeInput();
        }
        if (retries == 0) {
            (void)SendReply(Eot);
            return LinkNoAnswer;
        }
        --retries;
        cancel = CancelTest();
        if (cancel != 0) return cancel;
    }
}

std::uint32_t RsSendEot() {
    platform::SleepMs(500);
    std::uint32_t status = SendReply(Eot);
    platform::SleepMs(500);
    return status;
}

std::uint32_t RsEndWithAck(std::uint32_t timeoutMs, std::uint32_t retries) {
    Cells().sendBuffer[0] = Eot;
    std::uint32_t cancel = CancelTest();
    if (cancel != 0) return cancel;
    for (;;) {
        std::uint32_t status = SendReply();
        if (status != 0) return status;
        const std::uint32_t result = AwaitAnswer(timeoutMs);

        if (result > RxTimeout) return result;
        if (result == RxEot) return LinkEot;
        if (result == RxAck) return 0;
        if (retries == 0) {
            (void)SendReply();
            return LinkNoAnswer;
        }
        --retries;
        cancel = CancelTest();
        if (cancel != 0) return cancel;
    }
}

std::uint32_t RsSendRecvRecord(const std::uint8_t* data, std::int32_t length,
                               std::uint32_t timeoutMs, std::uint8_t* outData,
                               std::int32_t* outLength, std::int32_t outCapacity) {
    SerialCells& c = Cells();
    std::int32_t size = RsBuildFrame(data, length, c.sendSequence);
    std::uint32_t cancel = CancelTest();
    if (cancel != 0) return cancel;
    std::uint32_t status = RsSendBytes(c.sendBuffer, size);
    if (status != 0) return status;
    ArmWait(timeoutMs);
    for (;;) {
        std::int32_t count = 0;
        std::uint32_t result = Receive(&count);
        if (result == RxAck || result == RxNak) continue;
        if (result == RxEnq) {
            if (c.recordSeen != 0) continue;
            return LinkNoAnswer;
        }
        if (result == RxEot) return LinkEot;
        if (result > RxTimeout) return result;
        if (result == RxTimeout) {
            (void)SendReply(Eot);
            return LinkNoAnswer;
        }
        // The answer frame.
        c.recordSeen = 1;
        if (!RsFrameAccepted(count, 6) || count - 5 > outCapacity) return LinkNoAnswer;
        TakeData(count, outData, outLength);
        (void)SendReply(Eot);
        return 0;
    }
}

}  // namespace orv::serial
