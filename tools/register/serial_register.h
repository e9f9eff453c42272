// The register's side of the serial line protocol, for tests and for the
// register simulator. It has its own frame builder, parser and checksum and
// keeps the register's own sequence state, so that it checks the library
// rather than mirroring it.
//
// The protocol as the register plays it:
//  - the host selects it (EOT EOT EOT, 6 address bytes, ENQ) or bids (ENQ):
//    the register answers ACK and expects the host's records to count '0',
//    '1', ... '9', '0' ...; each good record in sequence is acknowledged with
//    ACK, a repeat of the last one is acknowledged again and dropped, anything
//    else gets NAK; the host ends with EOT (and may wait for ACK);
//  - the host asks for data with EOT: the register answers ENQ and, on each
//    ACK, sends its next record (digits from '0'), on NAK the last one again,
//    and EOT after the last record was acknowledged.
// Faults can be scripted: wrong digits or checksums, broken frames, stray
// bytes, silence, early EOT or ENQ, modem lines dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::reg {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kCr = 0x0D;
inline constexpr std::uint8_t kNak = 0x15;

// The register's end of a serial line.
class SerialLine {
  public:
    virtual ~SerialLine() = default;
    // The next byte from the host within timeoutMs (real time), or -1.
    virtual int ReadByte(int timeoutMs) = 0;
    virtual bool Write(const std::uint8_t* bytes, std::size_t count) = 0;
    // The register's outputs as the host sees them; ignored where the line
    // cannot drive them.
    virtual void SetDsr(bool on) { (void)on; }
    virtual void SetCts(bool on) { (void)on; }
    virtual void SetCarrier(bool on) { (void)on; }
};

// A line on a file descriptor: the master side of a pty, or a tty device.
class FdLine : public SerialLine {
  public:
    // A new pty pair; *slavePath receives the device the host should open.
    // The slave stays open on the register's side as well, so that the host
    // can close and reopen it without the pty hanging up.
    static std::unique_ptr<FdLine> OpenPty(std::string* slavePath);
    // A tty device at baudRate, 7 data bits, odd parity, 1 stop bit, raw.
    // Through a null-modem cable the register's DTR is the host's DSR and
    // carrier, its RTS the host's CTS.
    static std::unique_ptr<FdLine> OpenDevice(const std::string& path, int baudRate);
    ~FdLine() override;

    int ReadByte(int timeoutMs) override;
    bool Write(const std::uint8_t* bytes, std::size_t count) override;
    void SetDsr(bool on) override;  // DTR of a device
    void SetCts(bool on) override;  // RTS of a device
    int fd() const { return fd_; }

  private:
    FdLine(int fd, int slaveFd) : fd_(fd), slaveFd_(slaveFd) {}
    void SetModemLine(int line, bool on);
    int fd_;
    int slaveFd_;  // -1 for a device
};

// The register's frame codec.
std::uint8_t FrameChecksum(char digit, std::string_view data);
// STX, digit, data, checksum as two uppercase hex digits, CR.
std::string BuildFrame(char digit, std::string_view data);
// A frame from STX to CR: true when well formed, with its digit and data.
bool ParseFrame(std::string_view frame, char* digit, std::string* data);

struct FrameFaults {
    int digit = -1;  // the byte sent as the sequence digit (-1: the register's own)
    bool badChecksum = false;
    bool lowercaseChecksum = false;
    bool omitStx = false;
    bool omitCr = false;
    bool repeats = false;  // the faults apply to repeats after a NAK as well
};

// Something the host sent.
struct Event {
    enum Kind { Timeout, Control, Frame, Selection, Data };
    Kind kind = Timeout;
    std::uint8_t byte = 0;    // Control: the control byte; Data: the stray byte
    char digit = 0;           // Frame
    std::string data;         // Frame: its data; Selection: the 6 address bytes
    bool wellFormed = false;  // Frame: complete, checksum right
};

class SerialRegister {
  public:
    explicit SerialRegister(SerialLine& line, std::string address = std::string(6, '\0'));

    SerialLine& line() { return line_; }

    // --- sending ---
    void SendControl(std::uint8_t byte);
    void SendRaw(std::string_view bytes);
    // A record with the register's send sequence digit, unless faults say
    // otherwise. The sequence advances when the host acknowledges a record in
    // ServeRecords.
    void SendFrame(std::string_view data, const FrameFaults& faults = {});

    // --- receiving ---
    Event Next(int timeoutMs);
    // Waits for that control byte, skipping everything else.
    bool Expect(std::uint8_t control, int timeoutMs);
    // Every byte the host sent so far; with receivedLimit, at least the last
    // receivedLimit of them (a long-running register keeps no more).
    const std::vector<std::uint8_t>& received() const { return log_; }
    std::size_t receivedLimit = SIZE_MAX;

    // --- handshakes ---
    // Waits for a selection (of this register's address unless anyAddress),
    // answers ACK and expects the host's records from '0'.
    bool AnswerSelection(int timeoutMs, bool anyAddress = false, std::string* address = nullptr);
    // Waits for a bid (a bare ENQ), answers ACK, expects records from '0'.
    bool AnswerBid(int timeoutMs);

    enum class Reply { Auto, Nak, Silent };
    struct Received {
        enum Kind { Record, Refused, Eot, Timeout };
        Kind kind = Timeout;
        std::string data;
        char digit = 0;
        int naks = 0;     // NAKs sent for bad frames before it
        int repeats = 0;  // repeats of the last record acknowledged again
    };
    // Receives the host's next record. Auto: ACK a good record with the
    // expected digit and return it; acknowledge a repeat of the last one again
    // and go on waiting; NAK a bad one and go on waiting. Nak: refuse the next
    // frame with NAK and return. Silent: return the next frame unanswered.
    Received ReceiveRecord(int timeoutMs, Reply reply = Reply::Auto);

    // Serves a host receive: waits for the host's EOT, answers ENQ, then sends
    // records as the host acknowledges (see above) and EOT after the last.
    // faults[i] applies to the first transmission of record i. Returns the
    // number of records the host acknowledged, or -1 when the host never asked.
    int ServeRecords(const std::vector<std::string>& records, int timeoutMs,
                     const std::vector<FrameFaults>& faults = {});
    // The same after the host's EOT has been read: answers ENQ and sends.
    // Without announce, the host's first ACK has been read already (a host's
    // Ol_Read begins so): no ENQ, the first record goes out at once.
    int SendRecords(const std::vector<std::string>& records, int timeoutMs,
                    const std::vector<FrameFaults>& faults = {}, bool announce = true);

    // For a register driven event by event (Next): answers a selection or bid
    // already read with ACK, after which the host's records count from '0'.
    void AcceptLine();
    // Answers a frame already read as ReceiveRecord's Auto does: ACK for a good
    // record with the expected digit (Accepted), ACK again for a repeat of the
    // last one (Repeat), NAK for anything else (Refused).
    enum class FrameAnswer { Accepted, Repeat, Refused };
    FrameAnswer AnswerFrame(const Event& frame);

    // Called by SendRecords when the host refuses record index (from 0) with
    // NAK, before it is sent again; for a log.
    std::function<void(std::size_t index)> onRefused;

    int expectedDigit() const { return receiveExpected_; }
    int sendSequence() const { return sendSequence_; }

  private:
    int Read(int timeoutMs);

    SerialLine& line_;
    std::string address_;
    std::vector<std::uint8_t> log_;
    int receiveExpected_ = 0;  // digit the host's next record must carry
    int lastAccepted_ = -1;
    int sendSequence_ = 0;
};

}  // namespace orv::reg
