// The simulator on a serial line: answers selections and bids, stores what a
// host sends, serves its series when a host asks for data with EOT (or with a
// bare ACK, as Ol_Read begins), and echoes a record after an echo command.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "register/serial_register.h"
#include "sim.h"
#include "store.h"

namespace orvsim {

namespace {

using orv::reg::Event;
using orv::reg::SerialRegister;

constexpr char kHeaderTag[] = "/HDR1/";
constexpr unsigned kRecordData = 496;  // row bytes in a full data record (992 hex digits)
// How long the line stays quiet after an EOT that stands alone.
constexpr int kSelectionGapMs = 100;

class SerialSession {
  public:
    SerialSession(orv::reg::SerialLine& line, const Options& options)
        : options_(options), reg_(line, Address(options.station)), inbox_(options.dir) {
        reg_.receivedLimit = 64;  // a selection is told by its last 10 bytes
        reg_.onRefused = [](std::size_t index) {
            Log("serial <- NAK: record %zu refused, sent again", index + 1);
        };
    }

    void Run() {
        while (!g_stop.load()) {
            Event event = NextEvent(200);
            if (event.kind != Event::Data) LogStray();
            switch (event.kind) {
                case Event::Timeout:
                    break;
                case Event::Selection:
                    OnSelection(event);
                    break;
                case Event::Frame:
                    OnFrame(event);
                    break;
                case Event::Control:
                    OnControl(event.byte);
                    break;
                case Event::Data:
                    if (strayCount_++ < 16) stray_ += static_cast<char>(event.byte);
                    break;
            }
        }
        LogStray();
        inbox_.EndFile();
    }

  private:
    // A run of bytes outside any record is one line of the log, however long.
    void LogStray() {
        if (strayCount_ == 0) return;
        Log("serial <- %zu stray byte(s): %s", strayCount_,
            ToHex(reinterpret_cast<const std::uint8_t*>(stray_.data()), stray_.size()).c_str());
        strayCount_ = 0;
        stray_.clear();
    }

    static std::string Address(const std::string& station) {
        std::string address = station.substr(0, 6);
        address.resize(6, '\0');
        return address;
    }

    // The next event, after one read ahead by OnControl.
    Event NextEvent(int timeoutMs) {
        if (!pending_.empty()) {
            Event event = std::move(pending_.front());
            pending_.erase(pending_.begin());
            return event;
        }
        return reg_.Next(timeoutMs);
    }

    // A selection is EOT EOT EOT, six address bytes and ENQ, sent back to back;
    // an EOT that asks for data or ends a transmission is followed by silence.
    // So after an EOT the line is read on for a moment: when a selection
    // completes, its EOTs and address were not separate events.
    bool LoneEot() {
        if (!pending_.empty()) return true;  // read ahead already
        std::vector<Event> after;
        while (after.size() < 9) {
            Event next = reg_.Next(kSelectionGapMs);
            if (next.kind == Event::Timeout) break;
            if (next.kind == Event::Selection) {
                pending_.push_back(std::move(next));
                return false;
            }
            after.push_back(std::move(next));
        }
        for (Event& event : after) pending_.push_back(std::move(event));
        return true;
    }

    void StartExchange() {
        inbox_.EndFile();
        records_ = 0;
        exchangeRecords_ = 0;
        echoNext_ = false;
        echoed_ = false;
        lastRefused_ = false;
        firstRecord_.clear();
        headerSeen_ = false;
    }

    void OnSelection(const Event& event) {
        bool ours = options_.station.empty() || event.data == Address(options_.station);
        Log("serial <- selection %s%s", Printable(event.data).c_str(), ours ? "" : " (not ours)");
        if (!ours || options_.faults.silent) return;
        StartExchange();
        FaultPause(options_);
        reg_.AcceptLine();
        Log("serial -> ACK");
    }

    void OnControl(std::uint8_t byte) {
        if (byte == orv::reg::kEnq) {
            Log("serial <- ENQ (bid)");
            if (options_.faults.silent) return;
            StartExchange();
            FaultPause(options_);
            reg_.AcceptLine();
            Log("serial -> ACK");
            return;
        }
        if (byte == orv::reg::kAck && records_ == 0 && !headerSeen_) {
            Log("serial <- ACK (a read begins)");
            if (options_.faults.silent) return;
            FaultPause(options_);
            Serve(false);
            StartExchange();
            return;
        }
        if (byte != orv::reg::kEot) {
            Log("serial <- control %02X", byte);
            return;
        }
        if (!LoneEot()) return;
        Log("serial <- EOT");
        // An EOT after a refused record is a host giving up, not a request.
        bool asksForData =
            !headerSeen_ && !lastRefused_ &&
            (records_ == 0 || (records_ == 1 && firstRecord_.rfind(options_.servePrefix, 0) == 0));
        if (options_.faults.silent) {
            StartExchange();
            return;
        }
        FaultPause(options_);
        if (echoed_) {
            Log("sim: the echo exchange ends");
        } else if (asksForData) {
            Serve(true);
        } else {
            reg_.SendControl(orv::reg::kAck);
            Log("serial -> ACK (end of the host's transmission)");
        }
        StartExchange();
    }

    void OnFrame(const Event& event) {
        ++received_;
        ++exchangeRecords_;
        Log("serial <- record '%c' %s%s", event.digit, Printable(event.data).c_str(),
            event.wellFormed ? "" : " (broken)");
        const Faults& faults = options_.faults;
        if (faults.silent) {
            Log("sim: no answer (--silent)");
            return;
        }
        if (faults.refuseEvery != 0 && received_ % faults.refuseEvery == 0) {
            reg_.SendControl(orv::reg::kNak);
            Log("serial -> NAK (refused on purpose)");
            lastRefused_ = true;
            return;
        }
        if (faults.endAfter != 0 && exchangeRecords_ == faults.endAfter) {
            reg_.SendControl(orv::reg::kEot);
            Log("serial -> EOT (ending early on purpose, record %u of the exchange)",
                exchangeRecords_);
            StartExchange();
            return;
        }
        FaultPause(options_);
        if (echoNext_ && event.wellFormed) {
            echoNext_ = false;
            orv::reg::FrameFaults frameFaults;
            frameFaults.badChecksum = CorruptNext();
            reg_.SendFrame(event.data, frameFaults);
            echoed_ = true;
            Log("serial -> the record echoed back%s",
                frameFaults.badChecksum ? ", with a wrong checksum (on purpose)" : "");
            return;
        }
        SerialRegister::FrameAnswer answer = reg_.AnswerFrame(event);
        lastRefused_ = answer == SerialRegister::FrameAnswer::Refused;
        if (answer != SerialRegister::FrameAnswer::Accepted) {
            Log("serial -> %s",
                answer == SerialRegister::FrameAnswer::Repeat ? "ACK (repeat dropped)" : "NAK");
            return;
        }
        Log("serial -> ACK");
        if (records_ == 0 && !options_.echoPrefix.empty() &&
            event.data.rfind(options_.echoPrefix, 0) == 0) {
            echoNext_ = true;
            Log("sim: an echo command; the next record is answered with itself");
        }
        Store(event.data);
    }

    // Whether the next record the simulator sends gets a wrong checksum.
    bool CorruptNext() {
        ++sent_;
        unsigned every = options_.faults.badChecksumEvery;
        return every != 0 && sent_ % every == 0;
    }

    void Store(const std::string& data) {
        if (records_++ == 0) firstRecord_ = data;
        if (data.rfind(kHeaderTag, 0) == 0) {
            Header header;
            if (!FromHex(data.substr(6), &header.bytes) || header.bytes.size() < 9) {
                Log("sim: header record not understood, stored as a line");
                inbox_.AppendLine(data);
                return;
            }
            header_ = header;
            inbox_.BeginFile(header, !headerSeen_);
            headerSeen_ = true;
            return;
        }
        if (!inbox_.InFile()) {
            inbox_.AppendLine(data);
            return;
        }
        // Data record: counter, row or byte count, last mark, then the hex text.
        std::size_t prefix = header_.table() ? 8 : 10;
        std::size_t mark = prefix - 2;
        if (data.size() > prefix) inbox_.AppendText(data.substr(prefix));
        if (data.size() < prefix || data.compare(mark, 2, "00") != 0) {
            Log("sim: %s complete", inbox_.CurrentName().c_str());
            inbox_.EndFile();
        }
    }

    // The series as records: per file its header record and data records.
    std::vector<std::string> Records(const Series& series) const {
        std::vector<std::string> records;
        const Header& h = series.header;
        unsigned width = h.RowWidth();
        std::size_t perRecord = h.table() ? kRecordData / width : 495u;  // rows (plain: bytes)
        for (const ServedFile& file : series.files) {
            std::vector<std::uint8_t> header = HeaderFor(h, file.number);
            records.push_back(kHeaderTag + ToHex(header.data(), header.size()));
            std::size_t rows = file.data.size() / width;
            std::size_t row = 0;
            unsigned counter = h.CountsRows() ? 1u : 0u;
            do {
                std::size_t n = std::min(perRecord, rows - row);
                bool last = row + n >= rows;
                char prefix[16];
                if (h.table()) {
                    std::snprintf(prefix, sizeof prefix, "%04X%02X%s", counter & 0xFFFFu,
                                  static_cast<unsigned>(n & 0xFF), last ? "01" : "00");
                    if (h.CountsRows()) counter += static_cast<unsigned>(n);
                } else {
                    std::snprintf(prefix, sizeof prefix, "%04X%04X%s", counter & 0xFFFFu,
                                  static_cast<unsigned>(n & 0xFFFF), last ? "01" : "00");
                    counter += static_cast<unsigned>(n);
                }
                records.push_back(prefix + ToHex(file.data.data() + row * width, n * width));
                row += n;
            } while (row < rows);
        }
        return records;
    }

    // Serves the series as records: after an ENQ when the host asked with
    // EOT, at once when it began with ACK (announce false).
    void Serve(bool announce) {
        Series series = LoadSeries(options_.dir, kRecordData);
        std::vector<std::string> records;
        if (series.files.empty()) {
            Log("sim: nothing to serve: %s", series.error.c_str());
        } else {
            records = Records(series);
        }
        const Faults& faults = options_.faults;
        if (faults.endAfter != 0 && records.size() > faults.endAfter) {
            records.resize(faults.endAfter);
            Log("sim: serving only %u records, then EOT (on purpose)", faults.endAfter);
        }
        std::vector<orv::reg::FrameFaults> frameFaults(records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (!CorruptNext()) continue;
            frameFaults[i].badChecksum = true;
            frameFaults[i].repeats = faults.badChecksumRepeats;
            Log("sim: record %zu goes out with a wrong checksum%s (on purpose)", i + 1,
                faults.badChecksumRepeats ? ", its repeats too" : "");
        }
        Log("serial -> %sserving %zu records of %zu file(s)", announce ? "ENQ, " : "",
            records.size(), series.files.size());
        int acknowledged = reg_.SendRecords(records, 30000, frameFaults, announce);
        Log("serial: host acknowledged %d of %zu records", acknowledged, records.size());
    }

    const Options& options_;
    SerialRegister reg_;
    Inbox inbox_;
    Header header_;
    std::vector<Event> pending_;    // read ahead after an EOT
    std::size_t strayCount_ = 0;    // bytes outside records since the last event
    std::string stray_;             // the first 16 of them
    unsigned received_ = 0;         // records received in the session, for the faults
    unsigned exchangeRecords_ = 0;  // records received in this exchange (--end-after)
    bool echoNext_ = false;         // the next record is echoed
    bool echoed_ = false;           // the host's next EOT ends an echo
    bool lastRefused_ = false;      // the last record received was refused
    unsigned sent_ = 0;             // records served in the session, for the faults
    unsigned records_ = 0;          // records accepted in this exchange
    std::string firstRecord_;
    bool headerSeen_ = false;
};

}  // namespace

int RunSerial(const std::string& device, int baud, const Options& options) {
    std::unique_ptr<orv::reg::FdLine> line;
    if (device.empty()) {
        std::string path;
        line = orv::reg::FdLine::OpenPty(&path);
        if (!line) {
            std::fprintf(stderr, "orv-sim: cannot create a pty\n");
            return 1;
        }
        std::printf("orv-sim: serial line at %s\n", path.c_str());
    } else {
        line = orv::reg::FdLine::OpenDevice(device, baud);
        if (!line) {
            std::fprintf(stderr, "orv-sim: cannot open %s\n", device.c_str());
            return 1;
        }
        std::printf("orv-sim: serial line at %s\n", device.c_str());
    }
    std::fflush(stdout);
    line->SetDsr(true);
    line->SetCts(true);
    SerialSession session(*line, options);
    session.Run();
    Log("serial: stopped");
    return 0;
}

}  // namespace orvsim
