// The register's side of the TCP block protocol, for tests and the simulator.
//
// It listens on the loopback address, accepts the host's connection and
// exchanges blocks with it: 2-byte length L (high byte first, L = 4 + data),
// the four header bytes (terminal, sequence, type, code) and the data, then a
// checksum byte that sums everything before it. It can also misbehave on
// purpose: wrong checksums, hostile lengths, partial frames, silence, closing
// or resetting the connection.
//
// Not thread-safe: one thread drives one register.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orv::reg {

// One block as the register sees it.
struct TcpBlock {
    std::uint8_t terminal = 0;
    std::uint8_t sequence = 0;
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
};

enum class TcpStatus {
    Ok,
    TimedOut,     // nothing, or not enough, arrived within the time limit
    Closed,       // the host closed the connection (or it was reset)
    BadChecksum,  // a whole frame arrived but its checksum is wrong
    BadLength,    // the length field is below 4
    NotConnected,
};

const char* TcpStatusName(TcpStatus status);

// Block types a register meets.
constexpr std::uint8_t kTcpRefusal = 0x82;
constexpr std::uint8_t kTcpEnd = 0x81;

class TcpRegister {
  public:
    TcpRegister();
    ~TcpRegister();
    TcpRegister(const TcpRegister&) = delete;
    TcpRegister& operator=(const TcpRegister&) = delete;

    // Listens on 127.0.0.1, on port (0 = an ephemeral one). receiveBuffer > 0
    // shrinks the receive buffer of the connections it accepts (to make a
    // host's sends fill up). False on failure.
    bool Listen(std::uint16_t port = 0, int receiveBuffer = 0);
    std::uint16_t Port() const { return port_; }
    // Waits up to timeoutMs for the host to connect.
    bool Accept(int timeoutMs);
    bool Connected() const { return conn_ >= 0; }
    // Stops listening: later connects are refused.
    void StopListening();

    // The frame of a block: length, content, checksum.
    static std::vector<std::uint8_t> Frame(const TcpBlock& block);
    static std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count);

    // Receives one block. A frame that is not whole within timeoutMs is kept
    // and completed by the next call. The bytes of the last frame read
    // (whole or not) are kept in LastFrame().
    TcpStatus Receive(TcpBlock* block, int timeoutMs);
    const std::vector<std::uint8_t>& LastFrame() const { return lastFrame_; }
    // The last Receive timed out in the middle of a frame.
    bool Partial() const { return partial_; }
    // True when nothing arrives within timeoutMs (and the host did not close).
    bool Silent(int timeoutMs);

    bool Send(const TcpBlock& block);
    bool Send(std::uint8_t sequence, std::uint8_t type, const std::vector<std::uint8_t>& data,
              std::uint8_t code = 0);
    // Sends the block with checksum replaced by the one given.
    bool SendWithChecksum(const TcpBlock& block, std::uint8_t checksum);
    // A refusal: a block of type 0x82 without data.
    bool Refuse(std::uint8_t sequence);
    bool SendRaw(const void* bytes, std::size_t count);

    // Closes the connection in order (the host sees the end of the stream).
    void CloseConnection();
    // Resets the connection (the host's next sends fail).
    void ResetConnection();

    // The register's own byte 0 in the blocks it sends.
    std::uint8_t terminal = 0x52;

  private:
    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::uint8_t> lastFrame_;
    bool partial_ = false;  // lastFrame_ is a frame cut by a time limit

    // Reads until lastFrame_ holds total bytes.
    TcpStatus Fill(std::size_t total, long long deadline);
};

// Hex text of bytes, two uppercase digits each, for messages.
std::string HexOf(const std::uint8_t* bytes, std::size_t count);

}  // namespace orv::reg
