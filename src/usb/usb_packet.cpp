#include "usb/usb_packet.h"

#include <cstring>

#include "api/library.h"
#include "api/trace.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "usb/usb_cells.h"

namespace orv::usb {

namespace {

constexpr std::uint32_t kEndPauseMs = 200;
constexpr std::uint32_t kDrainReads = 5;
constexpr std::uint32_t kDrainWaitMs = 100;
// Data bytes shown in a packet's trace line.
constexpr std::size_t kTraceData = 16;

std::uint8_t g_packet[kPacketMax] = {};

// The port exists whenever a USB transfer runs (the link is open).
UsbPort& Port() {
    return *Usb().port;
}

void TracePacket(const char* what, std::size_t length) {
    if (!trace::Enabled()) return;
    const std::size_t data = length > kPacketHeader ? length - kPacketHeader : 0;
    ORV_TRACE("USB %s packet KIND=%02X length %u, %u data bytes", what, g_packet[2],
              static_cast<unsigned>(length), static_cast<unsigned>(data));
    if (data > 0) ORV_TRACE_HEX("  data", PacketData(), data < kTraceData ? data : kTraceData);
}

}  // namespace

std::uint8_t* PacketBuffer() {
    return g_packet;
}
std::uint8_t* PacketData() {
    return g_packet + kPacketHeader;
}
std::uint8_t PacketKind() {
    return g_packet[2];
}
void ResetPacketBuffer() {
    std::memset(g_packet, 0, sizeof g_packet);
}

std::uint32_t UsbSendPacket(std::uint8_t kind, std::uint8_t subKind, std::size_t n) {
    if (n > kPacketData) n = kPacketData;
    g_packet[3] = subKind;
    g_packet[2] = kind;
    const std::uint32_t rc = Port().Write(g_packet, n + kPacketHeader);
    TracePacket(rc == OL_OK ? "sent" : "not sent", n + kPacketHeader);
    return rc;
}

std::uint32_t UsbReceivePacket(std::size_t* length) {
    for (;;) {
        std::size_t l = 0;
        const std::uint32_t rc = Port().Read(g_packet, &l, 0);
        if (rc != OL_OK) return rc;
        if (l == 0) {
            // A device that sends nothing but empty transfers holds the host
            // only until it asks for a cancel.
            ORV_TRACE("[0 length packet received: reading again]");
            if (GetCancelRequest() != 0) {
                ORV_TRACE("[cancelled by the user between empty transfers]");
                return OL_CANCELLED;
            }
            continue;
        }
        if (length != nullptr) *length = l;
        TracePacket("received", l);
        if (g_packet[2] == KindNakEnd) return OL_USB_NAK;
        if (GetCancelRequest() != 0) {
            ORV_TRACE("[cancelled by the user after a read]");
            return OL_CANCELLED;
        }
        return OL_OK;
    }
}

std::uint32_t UsbExchange(std::uint8_t kind, std::size_t n, std::size_t* length) {
    const std::uint32_t rc = UsbSendPacket(kind, 0, n);
    if (rc != OL_OK) return rc;
    return UsbReceivePacket(length);
}

std::uint32_t UsbAbort(std::uint32_t code) {
    if (code == OL_CANCELLED || code == OL_HEADER_FILE || code == OL_DATA_FILE) {
        ORV_TRACE("[sending NAK & END] (%u)", code);
        Port().SetCancelHook(nullptr);
        (void)UsbSendPacket(KindNakEnd, 0, 0);
    } else {
        ORV_TRACE("[ending with %u without NAK & END]", code);
    }
    return code;
}

void UsbSendNak() {
    ORV_TRACE("[sending NAK]");
    Port().SetCancelHook(nullptr);
    (void)UsbSendPacket(KindNak, 0, 0);
}

std::uint32_t UsbFinish(std::uint32_t endMode) {
    if (endMode == 1) {
        platform::SleepMs(kEndPauseMs);
    } else {
        (void)UsbSendPacket(KindEnd, 0, 0);
    }
    return OL_OK;
}

void UsbDrain() {
    std::uint8_t scratch[kPacketMax];
    for (std::uint32_t i = 0; i < kDrainReads; ++i) {
        std::size_t l = 0;
        if (Port().Read(scratch, &l, kDrainWaitMs) != OL_OK) return;
        ORV_TRACE("USB drain: discarded a transfer of length %u", static_cast<unsigned>(l));
    }
}

}  // namespace orv::usb
