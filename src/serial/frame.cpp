// Record frames and the byte transport.
#include "serial/frame.h"

#include <cstdio>
#include <cstring>

#include "api/library.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "platform/clock.h"
#include "serial/lines.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"

namespace orv::serial {

namespace {

constexpr std::int32_t kTurnaroundTicks = 50;
constexpr std::int32_t kFirstByteTicks = 50;
constexpr std::int32_t kNextByteTicks = 70;
// A wait for a modem line blocks this long between two looks at the lines.
constexpr std::uint32_t kLinePollMs = 10;

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::uint8_t Checksum(const std::uint8_t* bytes, std::int32_t count) {
    std::uint32_t sum = 0;
    for (std::int32_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(0u - sum);
}

const char* ClassName(std::uint32_t result) {
    switch (result) {
        case RxCr:
            return "frame";
        case RxEot:
            return "EOT";
        case RxEnq:
            return "ENQ";
        case RxAck:
            return "ACK";
        case RxNak:
            return "NAK";
        default:
            return "stop";
    }
}

// Ends RsRecvFrame with a class that a byte decided, tracing what came.
std::uint32_t Received(std::uint32_t result, const std::uint8_t* buffer, std::int32_t stored) {
    if (trace::Enabled()) {
        char what[48];
        std::snprintf(what, sizeof what, "serial recv %s", ClassName(result));
        trace::WriteSerial(what, buffer, static_cast<std::size_t>(stored));
    }
    return result;
}

std::uint32_t SendStopped(std::uint32_t status, std::int32_t sent, std::int32_t count) {
    ORV_TRACE("serial send stopped with 0x%X after %d of %d bytes", status, sent, count);
    return status;
}

}  // namespace

void RsPutChecksum(std::int32_t n) {
    std::uint8_t* buffer = Cells().sendBuffer;
    std::uint8_t sum = Checksum(buffer + 1, n + 1);
    buffer[n + 2] = static_cast<std::uint8_t>(kHexDigits[sum >> 4]);
    buffer[n + 3] = static_cast<std::uint8_t>(kHexDigits[sum & 0x0F]);
}

std::int32_t RsCheckChecksum(std::int32_t n) {
    const std::uint8_t* buffer = Cells().receiveBuffer;
    std::uint8_t sum = Checksum(buffer + 1, n + 1);
    return buffer[n + 2] == static_cast<std::uint8_t>(kHexDigits[sum >> 4]) &&
                   buffer[n + 3] == static_cast<std::uint8_t>(kHexDigits[sum & 0x0F])
               ? 1
               : 0;
}

std::int32_t RsBuildFrame(const std::uint8_t* data, std::int32_t length, std::uint32_t sequence) {
    std::uint8_t* buffer = Cells().sendBuffer;
    buffer[0] = Stx;
    buffer[1] = static_cast<std::uint8_t>(0x30u + sequence);
    std::int32_t n = 0;
    if (length > kMaxFrameData) length = kMaxFrameData;
    while (n < length && data[n] != Cr) ++n;
    if (n > 0) std::memcpy(buffer + 2, data, static_cast<std::size_t>(n));
    RsPutChecksum(n);
    buffer[n + 4] = Cr;
    return n + 5;
}

std::uint32_t RsSendBytes(const std::uint8_t* bytes, std::int32_t count) {
    SerialCells& c = Cells();
    if (count > 0) ORV_TRACE_SERIAL("serial send", bytes, static_cast<std::size_t>(count));

    if (c.switchedRts != 0) {
        // Turn the line around: wait for the register's carrier to drop, then
        // raise RTS.
        RsSetTimer(TimerProtocol, kTurnaroundTicks);
        for (;;) {
            std::uint32_t status = RsGetLineStatus();
            if (status != 0) return SendStopped(status, 0, count);
            if (RsCarrierOn() == 0) break;
            if (RsTimerRunning(TimerProtocol) == 0) return SendStopped(CarrierBusy, 0, count);
            std::uint32_t cancel = GetCancelRequest();
            if (cancel != 0) return SendStopped(cancel, 0, count);
            platform::SleepMs(kLinePollMs);
        }
        RsRaiseRts();
        platform::SleepMs(1);
    }

    RsSetTimer(TimerProtocol, kFirstByteTicks);
    std::int32_t sent = 0;
    std::uint32_t stalled = 0;
    const char* waitingFor = nullptr;  // the line the send last waited for, for the trace
    while (sent < count) {
        std::uint32_t status = RsGetLineStatus();
        if (status != 0) return SendStopped(status, sent, count);
        const char* missing = nullptr;
        if (RsDsrOn() == 0 || (c.switchedRts == 0 && RsCarrierOn() == 0)) {
            if (RsTimerRunning(TimerProtocol) == 0) return SendStopped(DsrLost, sent, count);
            missing = c.switchedRts == 0 ? "DSR and carrier" : "DSR";
        } else if (RsCtsOn() == 0) {
            if (RsTimerRunning(TimerProtocol) == 0) {
                if (c.switchedRts != 0) RsDropRts();
                return SendStopped(CtsTimeout, sent, count);
            }
            missing = "CTS";
        }
        if (missing != waitingFor) {
            if (missing != nullptr) ORV_TRACE("serial send waits for %s", missing);
            waitingFor = missing;
        }
        bool linesReady = missing == nullptr;

        if (linesReady) {
            RsSetTimer(TimerProtocol, kNextByteTicks);
            platform::SerialPort* port = c.port.load();
            std::uint32_t error = platform::kErrorWriteFault;
            int taken =
                port != nullptr ? port->WriteByte(bytes[sent], kStalledWriteWaitMs, &error) : -1;
            if (taken < 0) return SendStopped(error, sent, count);
            if (taken == 0) {
                // Not taken: back to the line checks, after the cancel test.
                if (++stalled >= kMaxStalledWrites) {
                    return SendStopped(platform::kErrorWriteFault, sent, count);
                }
            } else {
                // Taken: the next byte's line checks, RTS's drop and the
                // answer's time limit all wait until this one has left.
                while (port->WaitSent(kStalledWriteWaitMs) == 0) {
                    if (++stalled >= kMaxStalledWrites) {
                        return SendStopped(platform::kErrorWriteFault, sent + 1, count);
                    }
                    std::uint32_t cancel = GetCancelRequest();
                    if (cancel != 0) return SendStopped(cancel, sent + 1, count);
                }
                stalled = 0;
                ++sent;
            }
        } else {
            platform::SleepMs(kLinePollMs);  // waiting for a line
        }
        std::uint32_t cancel = GetCancelRequest();
        if (cancel != 0) return SendStopped(cancel, sent, count);
    }

    if (c.switchedRts != 0) {
        platform::SleepMs(100);
        RsDropRts();
    }
    return 0;
}

std::uint32_t RsRecvFrame(std::uint8_t* buffer, std::int32_t* countOut) {
    SerialCells& c = Cells();
    c.stxSeen = 0;
    c.frameError = 0;
    *countOut = 0;
    std::int32_t stored = 0;
    if (RsTimerRunning(TimerProtocol) == 0) return RxTimeout;

    for (;;) {
        std::uint32_t status = RsGetLineStatus();
        if (status != 0) return status;
        if (RsDsrOn() == 1) {
            std::uint8_t byte = 0;
            platform::SerialPort* port = c.port.load();
            int got = port != nullptr ? port->ReadByte(&byte, kReceiveSliceMs) : -1;
            if (got < 0) {
                byte = 0x00;
                c.frameError = 1;
            }
            if (got != 0) {
                if (stored < kReceiveStoreLimit) {
                    buffer[stored++] = byte;
                } else {
                    c.frameError = 1;
                }
                switch (byte) {
                    case Stx:
                        buffer[0] = Stx;
                        stored = 1;
                        c.stxSeen = 1;
                        c.frameError = 0;
                        break;
                    case Eot:
                        return Received(RxEot, buffer, stored);
                    case Enq:
                        *countOut = stored;
                        return Received(RxEnq, buffer, stored);
                    case Ack:
                        return Received(RxAck, buffer, stored);
                    case Cr:
                        *countOut = stored;
                        return Received(RxCr, buffer, stored);
                    case Nak:
                        return Received(RxNak, buffer, stored);
                    default:
                        break;
                }
            }
        } else {
            platform::SleepMs(kLinePollMs);  // DSR off: wait for it, do not spin
        }
        // Looked at after every read, also one that found nothing: a cancel
        // ends the wait within one read slice, whatever its time limit.
        std::uint32_t cancel = GetCancelRequest();
        if (cancel != 0) {
            ORV_TRACE("serial recv cancelled after %d bytes", stored);
            return cancel;
        }
        if (RsTimerRunning(TimerProtocol) == 0) {
            if (stored > 0)
                ORV_TRACE_SERIAL("serial recv time-out with", buffer,
                                 static_cast<std::size_t>(stored));
            return RxTimeout;
        }
    }
}

bool RsFrameAccepted(std::int32_t count, std::int32_t minSize) {
    SerialCells& c = Cells();
    return c.stxSeen == 1 && c.frameError == 0 && count >= minSize && count <= kReceiveStoreLimit &&
           RsCheckChecksum(count - 5) == 1;
}

}  // namespace orv::serial
