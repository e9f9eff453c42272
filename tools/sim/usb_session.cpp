// The simulator on USB: a seqpacket socket stands in for the device. One
// host at a time; every packet the host sends with data or as a request gets
// one packet back, END, NAK and NAK & END get none. A command that asks for
// data queues the register's series (header and data packets), which the
// host then draws packet by packet with its requests (KIND 0x01).
//
// A request with nothing queued is a selection, answered 0x01; a second one
// right after it is an Ol_Read, served the first data file as raw bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "register/usb_register.h"
#include "sim.h"
#include "store.h"

namespace orvsim {

namespace {

using orv::reg::UsbPacket;
using orv::reg::UsbRegister;
using orv::reg::UsbStatus;

constexpr std::uint8_t kCommand = 0, kRequest = 1, kNak = 2, kHeader = 3, kLastHeader = 'C',
                       kData = 4, kLastData = 'D', kLine = 5, kLastLine = 'E', kSelect = 0x0F,
                       kEnd = 0x81, kNakEnd = 0x82;
constexpr unsigned kBlockData = 996;  // row bytes in a full data packet
constexpr std::size_t kRawData = 1000;

struct Outgoing {
    std::uint8_t kind;
    std::vector<std::uint8_t> data;
};

class UsbSession {
  public:
    UsbSession(UsbRegister& reg, const Options& options)
        : options_(options), reg_(reg), inbox_(options.dir) {}

    void Run() {
        while (!g_stop.load()) {
            UsbPacket packet;
            const UsbStatus status = reg_.Receive(&packet, 200);
            if (status == UsbStatus::TimedOut) continue;
            if (status != UsbStatus::Ok) {
                Log("usb: device closed by the host (%s)", orv::reg::UsbStatusName(status));
                break;
            }
            ++received_;
            Log("usb <- KIND %02X, %zu data bytes %s", packet.kind, packet.data.size(),
                DescribeBlock(packet.kind, packet.data).c_str());
            if (options_.faults.endAfter != 0 && received_ == options_.faults.endAfter) {
                Log("usb: disconnecting, as a removed device would (on purpose)");
                reg_.Disconnect();
                break;
            }
            if (options_.faults.silent) continue;
            OnPacket(packet);
        }
        inbox_.EndFile();
    }

  private:
    void OnPacket(const UsbPacket& p) {
        const bool loneRequest = lastWasSelection_;
        lastWasSelection_ = false;
        switch (p.kind) {
            case kSelect:
                queue_.clear();
                Answer("selection");
                return;
            case kRequest:
                if (!queue_.empty()) {
                    SendNext();
                } else if (loneRequest) {
                    QueueRaw();
                    SendNext();
                } else {
                    Answer("selection");
                    lastWasSelection_ = true;
                }
                return;
            case kCommand: {
                std::string text(p.data.begin(), p.data.end());
                std::string command = text.substr(0, text.find('\0'));
                inbox_.AppendLine(command);
                firstHeader_ = true;
                if (command.rfind(options_.servePrefix, 0) == 0) {
                    QueueSeries();
                    SendNext();  // a receiving host reads no answer to its command
                } else {
                    Answer("command");
                }
                return;
            }
            case kHeader:
            case kLastHeader:
                OnHeader(p);
                Answer("header");
                return;
            case kData:
            case kLastData:
                inbox_.AppendDataBlock(p.data, p.kind == kLastData);
                Answer("data");
                return;
            case kLine:
            case kLastLine:
                inbox_.AppendLine(ToHex(p.data.data(), p.data.size()));
                Answer("line");
                return;
            case kEnd:
            case kNak:
            case kNakEnd:
                Log("usb: exchange %s", p.kind == kEnd ? "ended" : "abandoned by the host");
                queue_.clear();
                inbox_.EndFile();
                firstHeader_ = true;
                return;
            default:
                Log("sim: KIND %02X not understood", p.kind);
                Answer("packet");
        }
    }

    void OnHeader(const UsbPacket& p) {
        const std::string text(p.data.begin(), p.data.end());
        Header header;
        if (text.rfind("/HDR1/", 0) != 0 || !FromHex(text.substr(6), &header.bytes) ||
            header.bytes.size() < 9) {
            Log("sim: header packet not understood, stored as a line");
            inbox_.AppendLine(text);
            return;
        }
        inbox_.BeginFile(header, firstHeader_);
        firstHeader_ = false;
    }

    // One answer: KIND 0x01 without data; every Nth one NAK & END when asked.
    void Answer(const char* what) {
        FaultPause(options_);
        ++answers_;
        const unsigned every = options_.faults.refuseEvery;
        if (every != 0 && answers_ % every == 0) {
            reg_.Send(kNakEnd);
            Log("usb -> NAK & END to the %s (on purpose)", what);
            return;
        }
        reg_.Send(kRequest);
        Log("usb -> answer to the %s", what);
    }

    void SendNext() {
        FaultPause(options_);
        if (queue_.empty()) {
            Log("sim: nothing to serve");
            reg_.Send(kNakEnd);
            return;
        }
        const Outgoing& next = queue_.front();
        reg_.Send(next.kind, next.data);
        Log("usb -> KIND %02X, %zu data bytes", next.kind, next.data.size());
        queue_.pop_front();
    }

    void QueueSeries() {
        queue_.clear();
        Series series = LoadSeries(options_.dir, kBlockData);
        if (series.files.empty()) {
            Log("sim: nothing to serve: %s", series.error.c_str());
            return;
        }
        const Header& h = series.header;
        for (std::size_t f = 0; f < series.files.size(); ++f) {
            const ServedFile& file = series.files[f];
            const std::vector<std::uint8_t> bytes = HeaderFor(h, file.number);
            const std::string text = "/HDR1/" + ToHex(bytes.data(), bytes.size());
            queue_.push_back({f + 1 == series.files.size() ? kLastHeader : kHeader,
                              std::vector<std::uint8_t>(text.begin(), text.end())});
            std::vector<std::vector<std::uint8_t>> blocks = DataBlocks(h, file, kBlockData);
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                queue_.push_back(
                    {b + 1 == blocks.size() ? kLastData : kData, std::move(blocks[b])});
            }
        }
    }

    // Ol_Read: the first file's bytes in packets of 1000, 'D' on the last.
    void QueueRaw() {
        queue_.clear();
        Series series = LoadSeries(options_.dir, SIZE_MAX);  // bytes, not rows
        const std::vector<std::uint8_t> bytes =
            series.files.empty() ? std::vector<std::uint8_t>{} : series.files[0].data;
        std::size_t at = 0;
        do {
            const std::size_t n = std::min(kRawData, bytes.size() - at);
            queue_.push_back(
                {at + n >= bytes.size() ? kLastData : kData,
                 std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(at),
                                           bytes.begin() + static_cast<long>(at + n))});
            at += n;
        } while (at < bytes.size());
    }

    const Options& options_;
    UsbRegister& reg_;
    Inbox inbox_;
    std::deque<Outgoing> queue_;
    bool firstHeader_ = true;
    bool lastWasSelection_ = false;
    unsigned received_ = 0, answers_ = 0;
};

}  // namespace

int RunUsb(const std::string& path, const Options& options) {
    UsbRegister reg;
    if (!reg.Listen(path)) {
        std::fprintf(stderr, "orv-sim: cannot listen on a seqpacket socket at %s: %s\n",
                     path.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("orv-sim: usb device at %s\n", path.c_str());
    std::fflush(stdout);
    ServeHosts<UsbSession>(reg, options, &UsbRegister::Disconnect, "usb", "host opened the device");
    return 0;
}

}  // namespace orvsim
