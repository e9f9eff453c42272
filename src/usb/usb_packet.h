// The USB packet protocol: the one packet buffer of the library and the
// packet operations every USB transfer is built from.
//
// A packet is a 22-byte header (byte 2 the KIND, byte 3 the sub-kind) and up
// to 1000 data bytes. The library sets only the KIND, the sub-kind (always 0)
// and the data of the packets it sends; header bytes 0-1 and 4-21 go out as
// the buffer holds them, that is as the register last sent them (zero until
// the first packet arrives).
//
// The host's cancel is noticed before each write (through the port's cancel
// hook), while a read waits, between empty transfers and after each non-empty
// packet received.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::usb {

constexpr std::size_t kPacketData = 1000;

// Packet KINDs.
enum Kind : std::uint8_t {
    KindRequest = 0x01,  // request / acknowledgement; the register's selection answer
    KindNak = 0x02,
    KindSelectAll = 0x0F,  // selection for selection word 0
    KindEnd = 0x81,
    KindNakEnd = 0x82,
};

// The packet buffer (kPacketMax bytes) and its data part.
std::uint8_t* PacketBuffer();
std::uint8_t* PacketData();
std::uint8_t PacketKind();
// Zeroes the packet buffer, as at load.
void ResetPacketBuffer();

// Sends the buffer's first n + 22 bytes with the KIND and sub-kind set.
std::uint32_t UsbSendPacket(std::uint8_t kind, std::uint8_t subKind, std::size_t n);
// Receives the register's next non-empty packet into the buffer; *length
// (may be null) is its length, also with 89 and 36. 0, 36, 39, 87 or 89.
std::uint32_t UsbReceivePacket(std::size_t* length);
// Sends, then receives the reply.
std::uint32_t UsbExchange(std::uint8_t kind, std::size_t n, std::size_t* length);
// Ends a failed exchange: NAK & END for 36, 3 and 4 (the cancel hook cleared
// first), nothing for any other code. Returns code.
std::uint32_t UsbAbort(std::uint32_t code);
// Refuses a selection answer: clears the cancel hook and sends NAK.
void UsbSendNak();
// Ends a successful exchange: endMode 1 pauses 200 ms, else END is sent.
// Returns 0.
std::uint32_t UsbFinish(std::uint32_t endMode);
// Reads and discards up to 5 waiting transfers, 100 ms each.
void UsbDrain();

}  // namespace orv::usb
