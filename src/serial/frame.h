// The record frame and the byte transport of the serial link.
//
// Frame: STX, sequence digit '0'..'9', data (no CR), two uppercase hex digits
// of the checksum, CR. The checksum is (0 - sum) mod 256 over the digit and the
// data. Every transmission is built in the send buffer and goes out one byte at
// a time under the line checks; the receiver reads one byte at a time and
// classifies what arrives.
#pragma once

#include <cstdint>

namespace orv::serial {

enum ControlByte : std::uint8_t {
    Stx = 0x02,
    Eot = 0x04,
    Enq = 0x05,
    Ack = 0x06,
    Cr = 0x0D,
    Nak = 0x15,
};

// Results of RsRecvFrame below 6; anything above is a link status.
enum RxClass : std::uint32_t {
    RxCr = 0,
    RxEot = 1,
    RxEnq = 2,
    RxAck = 3,
    RxNak = 4,
    RxTimeout = 5,
};

// A byte that the port does not take, or takes and does not send, is waited
// for at most this many times in a row (each wait up to kStalledWriteWaitMs,
// for room or for the byte to leave, with a look at the cancel request between
// two); then the send fails with ERROR_WRITE_FAULT (29).
inline constexpr std::uint32_t kMaxStalledWrites = 300;
inline constexpr std::uint32_t kStalledWriteWaitMs = 100;

// A receive blocks on the port this long at most between two rounds of its
// checks (line status, cancel, time-out); a byte that arrives ends it at once.
inline constexpr std::uint32_t kReceiveSliceMs = 10;

// Checksum over send-buffer bytes 1 .. n + 1, written at bytes n + 2 and n + 3.
void RsPutChecksum(std::int32_t n);
// 1 when receive-buffer bytes n + 2 and n + 3 are exactly the two uppercase
// digits of the checksum over bytes 1 .. n + 1.
std::int32_t RsCheckChecksum(std::int32_t n);

// Builds a record frame in the send buffer with the data before the first CR
// among the first `length` bytes (at most 1003 of them); returns its size,
// data + 5.
std::int32_t RsBuildFrame(const std::uint8_t* data, std::int32_t length, std::uint32_t sequence);

// Sends count bytes one at a time, each after the line checks and each waited
// for until it has left the port: 0, a line status, 0x200, 0x400, 0x500, the
// cancel request, or the system error code of a failed write.
std::uint32_t RsSendBytes(const std::uint8_t* bytes, std::int32_t count);

// Receives into buffer (the receive buffer, 1008 bytes) until something
// decisive arrives: an RxClass, a line status, or the cancel request.
// *countOut is the number of stored bytes for RxCr and RxEnq, else 0.
std::uint32_t RsRecvFrame(std::uint8_t* buffer, std::int32_t* countOut);

// The frame just received with RxCr and count is well formed: an STX came, no
// read failed and nothing overflowed since, at least minSize bytes, checksum
// right. Its data are count - 5 bytes from receive-buffer byte 2.
bool RsFrameAccepted(std::int32_t count, std::int32_t minSize);

}  // namespace orv::serial
