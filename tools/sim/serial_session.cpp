// The simulator on a serial line: answers selections and bids, stores what a
// host sends, and serves its series when a host asks for data with EOT.
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

class SerialSession {
  public:
    SerialSession(orv::reg::SerialLine& line, const Options& options)
        : options_(options), reg_(line, Address(options.station)), inbox_(options.dir) {}

    void Run() {
        while (!g_stop.load()) {
            Event event = reg_.Next(200);
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
                    Log("serial <- stray byte %02X", event.byte);
                    break;
            }
        }
        inbox_.EndFile();
    }

  private:
    static std::string Address(const std::string& station) {
        std::string address = station.substr(0, 6);
        address.resize(6, '\0');
        return address;
    }

    void Pause() const {
        if (options_.faults.delayMs != 0) usleep(options_.faults.delayMs * 1000u);
    }

    void StartExchange() {
        inbox_.EndFile();
        records_ = 0;
        firstRecord_.clear();
        headerSeen_ = false;
    }

    void OnSelection(const Event& event) {
        bool ours = options_.station.empty() || event.data == Address(options_.station);
        Log("serial <- selection \"%s\"%s", Printable(event.data).c_str(),
            ours ? "" : " (not ours)");
        if (!ours || options_.faults.silent) return;
        StartExchange();
        Pause();
        reg_.AcceptLine();
        Log("serial -> ACK");
    }

    void OnControl(std::uint8_t byte) {
        if (byte == orv::reg::kEnq) {
            Log("serial <- ENQ (bid)");
            if (options_.faults.silent) return;
            StartExchange();
            Pause();
            reg_.AcceptLine();
            Log("serial -> ACK");
            return;
        }
        if (byte != orv::reg::kEot) {
            Log("serial <- control %02X", byte);
            return;
        }
        Log("serial <- EOT");
        bool asksForData =
            !headerSeen_ &&
            (records_ == 0 || (records_ == 1 && firstRecord_.rfind(options_.servePrefix, 0) == 0));
        if (options_.faults.silent) {
            StartExchange();
            return;
        }
        Pause();
        if (asksForData) {
            Serve();
        } else {
            reg_.SendControl(orv::reg::kAck);
            Log("serial -> ACK (end of the host's transmission)");
        }
        StartExchange();
    }

    void OnFrame(const Event& event) {
        ++received_;
        Log("serial <- record '%c' %s%s", event.digit, Printable(event.data).c_str(),
            event.wellFormed ? "" : " (broken)");
        const Faults& faults = options_.faults;
        if (faults.silent) return;
        if (faults.refuseEvery != 0 && received_ % faults.refuseEvery == 0) {
            reg_.SendControl(orv::reg::kNak);
            Log("serial -> NAK (refused on purpose)");
            return;
        }
        if (faults.endAfter != 0 && received_ == faults.endAfter) {
            reg_.SendControl(orv::reg::kEot);
            Log("serial -> EOT (ending early on purpose)");
            StartExchange();
            return;
        }
        Pause();
        SerialRegister::FrameAnswer answer = reg_.AnswerFrame(event);
        if (answer != SerialRegister::FrameAnswer::Accepted) {
            Log("serial -> %s",
                answer == SerialRegister::FrameAnswer::Repeat ? "ACK (repeat dropped)" : "NAK");
            return;
        }
        Log("serial -> ACK");
        Store(event.data);
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
            if (!inbox_.BeginFile(header, !headerSeen_))
                Log("sim: cannot create a file in %s/in", options_.dir.c_str());
            headerSeen_ = true;
            Log("sim: receiving %s", inbox_.CurrentName().c_str());
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
        std::size_t perRecord = h.table() ? (992u / width) / 2u : 495u;  // rows (plain: bytes)
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

    void Serve() {
        Series series = LoadSeries(options_.dir);
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
            ++sent_;
            if (faults.badChecksumEvery != 0 && sent_ % faults.badChecksumEvery == 0) {
                frameFaults[i].badChecksum = true;
            }
        }
        Log("serial -> ENQ, serving %zu records of %zu file(s)", records.size(),
            series.files.size());
        int acknowledged = reg_.SendRecords(records, 30000, frameFaults);
        Log("serial: host acknowledged %d of %zu records", acknowledged, records.size());
    }

    const Options& options_;
    SerialRegister reg_;
    Inbox inbox_;
    Header header_;
    unsigned received_ = 0;  // records received in the session, for the faults
    unsigned sent_ = 0;      // records served in the session, for the faults
    unsigned records_ = 0;   // records accepted in this exchange
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
