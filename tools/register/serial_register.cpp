#include "register/serial_register.h"

#include <utility>

namespace orv::reg {

namespace {

constexpr std::size_t kMaxFrame = 4096;  // what the register collects of one frame

char HexDigit(int value, bool lowercase) {
    const char* digits = lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
    return digits[value & 0x0F];
}

bool IsControl(int byte) {
    return byte == kStx || byte == kEot || byte == kEnq || byte == kAck || byte == kCr ||
           byte == kNak;
}

}  // namespace

std::uint8_t FrameChecksum(char digit, std::string_view data) {
    unsigned total = static_cast<unsigned char>(digit);
    for (char ch : data) total += static_cast<unsigned char>(ch);
    return static_cast<std::uint8_t>((256u - total % 256u) % 256u);
}

std::string BuildFrame(char digit, std::string_view data) {
    std::uint8_t sum = FrameChecksum(digit, data);
    std::string frame;
    frame += static_cast<char>(kStx);
    frame += digit;
    frame += data;
    frame += HexDigit(sum >> 4, false);
    frame += HexDigit(sum, false);
    frame += static_cast<char>(kCr);
    return frame;
}

bool ParseFrame(std::string_view frame, char* digit, std::string* data) {
    if (frame.size() < 5 || static_cast<std::uint8_t>(frame.front()) != kStx ||
        static_cast<std::uint8_t>(frame.back()) != kCr) {
        return false;
    }
    std::string_view body = frame.substr(2, frame.size() - 5);
    std::uint8_t sum = FrameChecksum(frame[1], body);
    if (frame[frame.size() - 3] != HexDigit(sum >> 4, false) ||
        frame[frame.size() - 2] != HexDigit(sum, false)) {
        return false;
    }
    *digit = frame[1];
    data->assign(body);
    return true;
}

SerialRegister::SerialRegister(SerialLine& line, std::string address)
    : line_(line), address_(std::move(address)) {
    address_.resize(6, '\0');
}

void SerialRegister::SendControl(std::uint8_t byte) {
    line_.Write(&byte, 1);
}

void SerialRegister::SendRaw(std::string_view bytes) {
    line_.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void SerialRegister::SendFrame(std::string_view data, const FrameFaults& faults) {
    char digit = faults.digit >= 0 ? static_cast<char>(faults.digit)
                                   : static_cast<char>('0' + sendSequence_);
    std::uint8_t sum = FrameChecksum(digit, data);
    if (faults.badChecksum) sum = static_cast<std::uint8_t>(sum ^ 0x5A);
    std::string frame;
    if (!faults.omitStx) frame += static_cast<char>(kStx);
    frame += digit;
    frame += data;
    frame += HexDigit(sum >> 4, faults.lowercaseChecksum);
    frame += HexDigit(sum, faults.lowercaseChecksum);
    if (!faults.omitCr) frame += static_cast<char>(kCr);
    SendRaw(frame);
}

int SerialRegister::Read(int timeoutMs) {
    int byte = line_.ReadByte(timeoutMs);
    if (byte >= 0) log_.push_back(static_cast<std::uint8_t>(byte));
    if (log_.size() / 2 > receivedLimit) {
        log_.erase(log_.begin(), log_.end() - static_cast<std::ptrdiff_t>(receivedLimit));
    }
    return byte;
}

Event SerialRegister::Next(int timeoutMs) {
    Event event;
    int byte = Read(timeoutMs);
    if (byte < 0) return event;
    if (byte == kStx) {
        // A frame: everything up to CR. A host's frame holds no other control
        // byte; one that comes anyway, or silence, leaves the frame broken.
        std::string frame(1, static_cast<char>(kStx));
        event.kind = Event::Frame;
        for (;;) {
            int next = Read(timeoutMs);
            if (next < 0) return event;
            frame += static_cast<char>(next);
            if (next == kCr || frame.size() >= kMaxFrame) break;
        }
        if (frame.size() >= 2) event.digit = frame[1];
        event.wellFormed = ParseFrame(frame, &event.digit, &event.data);
        return event;
    }
    if (byte == kEnq && log_.size() >= 10) {
        // The end of a selection: EOT EOT EOT and six address bytes before it.
        const std::uint8_t* s = log_.data() + log_.size() - 10;
        if (s[0] == kEot && s[1] == kEot && s[2] == kEot) {
            event.kind = Event::Selection;
            event.data.assign(reinterpret_cast<const char*>(s + 3), 6);
            return event;
        }
    }
    event.kind = IsControl(byte) ? Event::Control : Event::Data;
    event.byte = static_cast<std::uint8_t>(byte);
    return event;
}

bool SerialRegister::Expect(std::uint8_t control, int timeoutMs) {
    for (;;) {
        Event event = Next(timeoutMs);
        if (event.kind == Event::Timeout) return false;
        if (event.kind == Event::Control && event.byte == control) return true;
    }
}

bool SerialRegister::AnswerSelection(int timeoutMs, bool anyAddress, std::string* address) {
    for (;;) {
        Event event = Next(timeoutMs);
        if (event.kind == Event::Timeout) return false;
        if (event.kind != Event::Selection) continue;
        if (address != nullptr) *address = event.data;
        if (!anyAddress && event.data != address_) continue;
        AcceptLine();
        return true;
    }
}

bool SerialRegister::AnswerBid(int timeoutMs) {
    for (;;) {
        Event event = Next(timeoutMs);
        if (event.kind == Event::Timeout) return false;
        if (event.kind != Event::Control || event.byte != kEnq) continue;
        AcceptLine();
        return true;
    }
}

SerialRegister::Received SerialRegister::ReceiveRecord(int timeoutMs, Reply reply) {
    Received result;
    for (;;) {
        Event event = Next(timeoutMs);
        if (event.kind == Event::Timeout) return result;
        if (event.kind == Event::Control && event.byte == kEot) {
            result.kind = Received::Eot;
            return result;
        }
        if (event.kind != Event::Frame) continue;
        result.digit = event.digit;
        result.data = event.data;
        if (reply == Reply::Silent) {
            result.kind = event.wellFormed ? Received::Record : Received::Refused;
            return result;
        }
        if (reply == Reply::Nak) {
            SendControl(kNak);
            result.kind = Received::Refused;
            return result;
        }
        switch (AnswerFrame(event)) {
            case FrameAnswer::Accepted:
                result.kind = Received::Record;
                return result;
            case FrameAnswer::Repeat:
                ++result.repeats;
                break;
            case FrameAnswer::Refused:
                ++result.naks;
                break;
        }
    }
}

void SerialRegister::AcceptLine() {
    SendControl(kAck);
    receiveExpected_ = 0;
    lastAccepted_ = -1;
}

SerialRegister::FrameAnswer SerialRegister::AnswerFrame(const Event& frame) {
    int digit = frame.digit - '0';
    if (frame.wellFormed && digit == receiveExpected_) {
        SendControl(kAck);
        lastAccepted_ = digit;
        receiveExpected_ = (digit + 1) % 10;
        return FrameAnswer::Accepted;
    }
    if (frame.wellFormed && digit == lastAccepted_) {
        SendControl(kAck);
        return FrameAnswer::Repeat;
    }
    SendControl(kNak);
    return FrameAnswer::Refused;
}

int SerialRegister::ServeRecords(const std::vector<std::string>& records, int timeoutMs,
                                 const std::vector<FrameFaults>& faults) {
    if (!Expect(kEot, timeoutMs)) return -1;
    return SendRecords(records, timeoutMs, faults);
}

int SerialRegister::SendRecords(const std::vector<std::string>& records, int timeoutMs,
                                const std::vector<FrameFaults>& faults, bool announce) {
    if (announce) SendControl(kEnq);
    sendSequence_ = 0;
    std::size_t next = 0;
    bool outstanding = false;  // a record sent and not yet acknowledged
    bool acked = !announce;    // an ACK read before the loop
    int acknowledged = 0;
    auto faultsOf = [&faults](std::size_t i) {
        return i < faults.size() ? faults[i] : FrameFaults{};
    };
    for (;;) {
        if (!acked) {
            Event event = Next(timeoutMs);
            if (event.kind == Event::Timeout) return acknowledged;
            if (event.kind != Event::Control) continue;
            if (event.byte == kEot) return acknowledged;
            if (event.byte == kNak && outstanding) {
                if (onRefused) onRefused(next - 1);
                FrameFaults repeat = faultsOf(next - 1);
                SendFrame(records[next - 1], repeat.repeats ? repeat : FrameFaults{});
                continue;
            }
            if (event.byte != kAck) continue;
        }
        acked = false;
        if (outstanding) {
            ++acknowledged;
            sendSequence_ = (sendSequence_ + 1) % 10;
            outstanding = false;
        }
        if (next == records.size()) {
            SendControl(kEot);
            return acknowledged;
        }
        SendFrame(records[next], faultsOf(next));
        ++next;
        outstanding = true;
    }
}

}  // namespace orv::reg
