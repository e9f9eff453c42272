// The network link's library-wide cells: the copy of the open record, the
// address and timing cells that Ol_Open_MWS fills in, the connection, and the
// one block record shared by sending and receiving.
//
// Only the host's calling thread touches them; the one cell shared with other
// threads is the cancel request, which lives with the library state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace orv::net {

// A block's content is a 4-byte header and up to 1453 data bytes; on the wire
// it is led by a 2-byte length and followed by a 1-byte checksum.
constexpr std::size_t kBlockHeader = 4;
constexpr std::size_t kBlockData = 1453;
constexpr std::size_t kMaxContent = kBlockHeader + kBlockData;  // 1457
constexpr std::size_t kBlockSize = 1460;                        // the record, and the longest frame

// Offsets in the block record.
constexpr std::size_t kTerminalByte = 0;
constexpr std::size_t kSequenceByte = 1;
constexpr std::size_t kTypeByte = 2;
constexpr std::size_t kCodeByte = 3;

constexpr std::uint8_t kRefusalType = 0x82;

// Values that every Ol_Open_MWS puts into the timing cells.
constexpr std::uint32_t kDefaultReceiveTimeout = 80000;
constexpr std::uint32_t kDefaultSendRetries = 160;
constexpr std::uint32_t kDefaultSendRetryWait = 250;

// The longest address text kept, without its NUL.
constexpr std::size_t kAddressTextMax = 255;

struct NetCells {
    // NetworkRecord: the host's three words; once the open has read the
    // addresses, the two pointers point to the texts below.
    const char* recordRegister = nullptr;
    const char* recordTerminal = nullptr;
    std::uint32_t recordPort = 0;

    char registerAddress[kAddressTextMax + 1] = {};
    char terminalAddress[kAddressTextMax + 1] = {};
    std::uint32_t terminalNumber = 0;
    std::uint16_t port = 0;

    // Milliseconds each receive of a piece of a block may wait. Read as a
    // signed value: 0 or less times out at once.
    std::uint32_t receiveTimeout = 0;
    std::uint32_t sendRetries = 0;
    std::uint32_t sendRetryWait = 0;

    // The connection socket with its event; null when there is none.
    platform::TcpSocket* socket = nullptr;
    // Successful starts of the sockets service not yet balanced by a cleanup.
    std::uint32_t startups = 0;

    // NetBlock: bytes 0-3 the block header, then the data area.
    std::uint8_t block[kBlockSize] = {};
    // Frame buffers, so that no block allocates.
    std::uint8_t sendFrame[kBlockSize] = {};
    std::uint8_t receiveFrame[kBlockSize] = {};
};

NetCells& Net();

// The data area of the block record (kBlockData bytes are sent at most).
inline std::uint8_t* BlockData() {
    return Net().block + kBlockHeader;
}

// Returns every cell to its value at load; closes a connection left open.
void ResetCells();

}  // namespace orv::net
