// The network link's connection and block exchange: start and connect, close,
// and the send and receive of one block with their waits, time-outs, retries
// and cancel checks. Every operation returns a result code (0 success); the
// codes 80, 81 and 83 stay inside the link.
#pragma once

#include <cstdint>

namespace orv::net {

// Internal statuses that never reach the host.
constexpr std::uint32_t kStartupFailed = 80;
constexpr std::uint32_t kConnectFailed = 81;
constexpr std::uint32_t kSendFailed = 83;

// Longest that a connect waits for the register to accept, in milliseconds
// (about what the Windows stack's own connect time-out is). A cancel ends the
// wait sooner.
constexpr std::uint32_t kConnectTimeLimit = 21000;

// Starts the sockets service (Winsock 2.0): 0, or 80.
std::uint32_t NetStartup();
// Clears the cancel request and connects: 0, 36 (cancelled) or 81 (failed).
std::uint32_t NetOpenLink();
std::uint32_t NetConnect();
// Closes the connection and balances the service's starts. Returns 0.
std::uint32_t NetCloseLink();

// Sends the block record with dataLength data bytes (at most 1453, put into
// the data area by the caller): first a byte the register sent unasked is
// drained, then the header is set (sequence 0, or the last one plus 1 when
// continued) and the frame is sent. 0, 36 or 38.
std::uint32_t NetSendBlock(std::uint8_t continued, std::uint8_t blockType, std::uint8_t blockCode,
                           std::uint32_t dataLength);

// Receives one block into the block record: 0, 36, 39, 82 or 84 (a refusal).
// On 0 and 84 *contentLength is the content length (data + 4) and *refused is
// 0 or 1; on 39 and 82 *contentLength is 0; on 36 it is 0 or unchanged.
std::uint32_t NetReceiveBlock(std::uint32_t* refused, std::uint32_t* contentLength);

}  // namespace orv::net
