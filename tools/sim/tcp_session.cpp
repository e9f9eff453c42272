// The simulator on TCP: accepts one host connection at a time, stores what
// the host sends, answers each file, command and line file, and serves its
// series when asked by a command or by a new exchange that stays silent.
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <string>
#include <vector>

#include "register/tcp_register.h"
#include "sim.h"
#include "store.h"

namespace orvsim {

namespace {

using orv::reg::TcpBlock;
using orv::reg::TcpRegister;
using orv::reg::TcpStatus;

constexpr std::uint8_t kCommand = 0, kHeader = 3, kLastHeader = 'C', kData = 4, kLastData = 'D',
                       kLine = 5, kLastLine = 'E', kEnd = 0x81;
constexpr unsigned kBlockData = 1449;  // row bytes in a full block

class TcpSession {
  public:
    TcpSession(TcpRegister& reg, const Options& options)
        : options_(options), reg_(reg), inbox_(options.dir) {}

    void Run() {
        bool mayServe = true;  // a new exchange has not said anything yet
        unsigned silentMs = 0;
        while (!g_stop.load()) {
            TcpBlock block;
            TcpStatus status = reg_.Receive(&block, 200);
            if (status == TcpStatus::TimedOut && reg_.Partial()) {
                silentMs = 0;  // a host in the middle of a frame is not silent
                mayServe = false;
                continue;
            }
            if (status == TcpStatus::TimedOut) {
                silentMs += 200;
                if (pendingLines_) {
                    Answer("line file");
                    pendingLines_ = false;
                } else if (mayServe && options_.idleMs != 0 && silentMs >= options_.idleMs) {
                    Serve();
                    mayServe = false;
                }
                continue;
            }
            if (status != TcpStatus::Ok) {
                Log("tcp: connection ends (%s)", orv::reg::TcpStatusName(status));
                break;
            }
            silentMs = 0;
            mayServe = false;
            Log("tcp <- block seq %u type %02X, %zu data bytes %s", block.sequence, block.type,
                block.data.size(), DescribeBlock(block.type, block.data).c_str());
            if (EndsHere()) break;
            if (options_.faults.silent) {
                Log("sim: no answer (--silent)");
                continue;
            }
            if (block.type == kEnd) {
                Log("tcp: exchange ended");
                firstHeader_ = true;
                mayServe = true;
                exchangeBlocks_ = 0;
                continue;
            }
            OnBlock(block);
            if (closed_) break;
        }
        inbox_.EndFile();
    }

  private:
    // Counts a block of the exchange, either way; at the --end-after one the
    // connection is closed.
    bool EndsHere() {
        unsigned endAfter = options_.faults.endAfter;
        if (endAfter == 0 || ++exchangeBlocks_ != endAfter) return false;
        Log("tcp: closing the connection at block %u of the exchange (on purpose)", endAfter);
        reg_.CloseConnection();
        closed_ = true;
        return true;
    }

    // The fault, if any, for the next block the simulator sends.
    enum class Outgoing { Plain, Refused, BadChecksum };
    Outgoing NextOutgoing() {
        ++sent_;
        const Faults& faults = options_.faults;
        if (faults.refuseEvery != 0 && sent_ % faults.refuseEvery == 0) return Outgoing::Refused;
        if (faults.badChecksumEvery != 0 && sent_ % faults.badChecksumEvery == 0) {
            return Outgoing::BadChecksum;
        }
        return Outgoing::Plain;
    }

    // Sends a block with the next fault; false when it was refused instead.
    bool SendWithFaults(TcpBlock block, const std::string& what) {
        switch (NextOutgoing()) {
            case Outgoing::Refused:
                reg_.Refuse(block.sequence);
                Log("tcp -> refusal 0x82 in place of the %s (on purpose)", what.c_str());
                return false;
            case Outgoing::BadChecksum: {
                std::vector<std::uint8_t> frame = TcpRegister::Frame(block);
                reg_.SendWithChecksum(block, static_cast<std::uint8_t>(frame.back() + 1));
                Log("tcp -> %s with a wrong checksum (on purpose)", what.c_str());
                return true;
            }
            case Outgoing::Plain:
                break;
        }
        reg_.Send(block);
        Log("tcp -> %s", what.c_str());
        return true;
    }

    void OnBlock(const TcpBlock& block) {
        std::string text(block.data.begin(), block.data.end());
        switch (block.type) {
            case kCommand: {
                std::string command = text.substr(0, text.find('\0'));
                inbox_.AppendLine(command);
                firstHeader_ = true;
                if (command.rfind(options_.servePrefix, 0) == 0) {
                    Serve();
                } else {
                    Answer("command");
                }
                return;
            }
            case kHeader:
            case kLastHeader: {
                Header header;
                header.bytes.assign(block.data.begin() + static_cast<long>(std::min<std::size_t>(
                                                             6, block.data.size())),
                                    block.data.end());
                if (text.rfind("/HDR1/", 0) != 0 || header.bytes.size() < 9) {
                    Log("sim: header block not understood, stored as a line");
                    inbox_.AppendLine(ToHex(block.data.data(), block.data.size()));
                    return;
                }
                inbox_.BeginFile(header, firstHeader_);
                firstHeader_ = false;
                return;
            }
            case kData:
            case kLastData:
                // Ol_Write's raw bytes, outside a file, get no answer.
                if (inbox_.AppendDataBlock(block.data, block.type == kLastData)) Answer("file");
                return;
            case kLine:
            case kLastLine:
                inbox_.AppendLine(ToHex(block.data.data(), block.data.size()));
                pendingLines_ = block.type == kLine;
                if (block.type == kLastLine) Answer("line file");
                return;
            default:
                Log("sim: block type %02X not understood", block.type);
        }
    }

    // One answer block: empty, type 0.
    void Answer(const char* what) {
        FaultPause(options_);
        TcpBlock block;
        block.sequence = sequence_++;
        SendWithFaults(block, std::string("answer to the ") + what);
    }

    // A served block; false when the series ends here (refused, or the
    // connection closed on purpose).
    bool SendBlock(std::uint8_t type, std::vector<std::uint8_t> data) {
        if (EndsHere()) return false;
        TcpBlock block;
        block.sequence = sequence_++;
        block.type = type;
        block.data = std::move(data);
        char what[64];
        std::snprintf(what, sizeof what, "block type %02X, %zu data bytes", type,
                      block.data.size());
        return SendWithFaults(std::move(block), what);
    }

    void Serve() {
        FaultPause(options_);
        Series series = LoadSeries(options_.dir, kBlockData);
        if (series.files.empty()) {
            Log("sim: nothing to serve: %s", series.error.c_str());
            return;
        }
        const Header& h = series.header;
        sequence_ = 0;
        for (std::size_t f = 0; f < series.files.size(); ++f) {
            const ServedFile& file = series.files[f];
            bool lastFile = f + 1 == series.files.size();
            std::vector<std::uint8_t> header = HeaderFor(h, file.number);
            std::vector<std::uint8_t> block(std::begin("/HDR1/"), std::begin("/HDR1/") + 6);
            block.insert(block.end(), header.begin(), header.end());
            if (!SendBlock(lastFile ? kLastHeader : kHeader, std::move(block))) return;
            std::vector<std::vector<std::uint8_t>> blocks = DataBlocks(h, file, kBlockData);
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                if (!SendBlock(b + 1 == blocks.size() ? kLastData : kData, std::move(blocks[b]))) {
                    return;
                }
            }
        }
    }

    const Options& options_;
    TcpRegister& reg_;
    Inbox inbox_;
    bool firstHeader_ = true;
    bool pendingLines_ = false;
    std::uint8_t sequence_ = 0;
    unsigned sent_ = 0;            // blocks sent in the session, for the faults
    unsigned exchangeBlocks_ = 0;  // blocks of this exchange either way (--end-after)
    bool closed_ = false;
};

}  // namespace

int RunTcp(std::uint16_t port, const Options& options) {
    TcpRegister reg;
    if (!reg.Listen(port)) {
        std::fprintf(stderr, "orv-sim: cannot listen on 127.0.0.1:%u: %s\n", port,
                     std::strerror(errno));
        return 1;
    }
    std::printf("orv-sim: listening on 127.0.0.1:%u\n", reg.Port());
    std::fflush(stdout);
    ServeHosts<TcpSession>(reg, options, &TcpRegister::CloseConnection, "tcp", "host connected");
    return 0;
}

}  // namespace orvsim
