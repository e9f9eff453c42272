// The handshakes of the serial link, the building blocks of the serial
// transfers and of the echo exchange. Each returns a link status: 0 done,
// 1 EOT received (LinkEot), 2 no acceptable answer (LinkNoAnswer), a line
// status (0x100, 0x200, 0x300), a sender status (0x200, 0x400, 0x500, a system
// error code) or the cancel request (0x1000). MapLinkStatus turns it into the
// host's result code.
//
// Time limits are in milliseconds, converted to 100 ms ticks as (ms + 99) / 100;
// 0 (and a limit too large for 32-bit ticks) means no limit. A cancel request
// ends every wait, also on a quiet line: the receiver looks at it after every
// read. Retries are the repeats after the first attempt.
//
// The send sequence, the receive sequence and the first-record and record-seen
// flags persist between calls and transfers; only these procedures change them.
#pragma once

#include <cstdint>

namespace orv::serial {

// PC receives. Sends EOT, waits for the register's ENQ: 0 (the next record must
// carry '0'), 1 on EOT, 2 after the retries, or a status.
std::uint32_t RsWaitEnq(std::uint32_t timeoutMs, std::uint32_t retries);

// Sends the reply byte (ACK; NAK after a refused frame) and waits for the next
// record in sequence. 0: a record, its count - 5 data bytes (at most
// kRecordDataMax, 1000) copied to outData and their number to *outLength;
// 1 on EOT (the register's normal end); 2 on a time-out; or a status.
std::uint32_t RsRecvRecord(std::uint8_t* outData, std::int32_t* outLength, std::uint32_t timeoutMs);

// PC sends. Selects the register: EOT EOT EOT, the 6 address bytes, ENQ; waits
// for ACK (send sequence := 0). 0, 2 after the retries, or a status.
std::uint32_t RsSelect(const char* stationAddress, std::uint32_t timeoutMs, std::uint32_t retries);
// Bids for the line with ENQ; waits for ACK (send sequence := 0).
std::uint32_t RsBid(std::uint32_t timeoutMs, std::uint32_t retries);

// Sends data (up to its first CR) as one record with the send sequence digit;
// retries on NAK and on time-outs; the sequence advances on ACK. 0, 1 on EOT,
// 2 after the retries, or a status.
std::uint32_t RsSendRecord(const std::uint8_t* data, std::int32_t length, std::uint32_t timeoutMs,
                           std::uint32_t retries);

// Ends a transmission with a bare EOT between two 500 ms pauses.
std::uint32_t RsSendEot();

// Ends a transmission with EOT and waits for the register's ACK.
std::uint32_t RsEndWithAck(std::uint32_t timeoutMs, std::uint32_t retries);

// Sends data as one record (no retries, the send sequence does not advance)
// and receives the register's answer record (any sequence digit, at least one
// data byte), then ends with EOT. 0 with the answer's data in outData
// (*outLength bytes); 2 when the answer is bad, longer than outCapacity, an ENQ
// or missing; 1 on EOT; or a status.
std::uint32_t RsSendRecvRecord(const std::uint8_t* data, std::int32_t length,
                               std::uint32_t timeoutMs, std::uint8_t* outData,
                               std::int32_t* outLength, std::int32_t outCapacity);

}  // namespace orv::serial
