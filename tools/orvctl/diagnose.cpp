#include "diagnose.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "os.h"

namespace orvctl {

namespace {

// A trace line without its time and thread: "[tid] " ends the prefix.
std::string Text(const std::string& line) {
    std::string::size_type at = line.find("] ");
    return at == std::string::npos ? line : line.substr(at + 2);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The bytes of a "net send 21 bytes: 00 12 ..." line.
std::vector<unsigned> HexBytes(const std::string& text) {
    std::vector<unsigned> bytes;
    std::string::size_type at = text.find(": ");
    if (at == std::string::npos) return bytes;
    std::istringstream in(text.substr(at + 2));
    std::string pair;
    while (in >> pair)
        bytes.push_back(static_cast<unsigned>(std::strtoul(pair.c_str(), nullptr, 16)));
    return bytes;
}

const char* BlockKind(unsigned type) {
    switch (type) {
        case 0x00:
            return "command";
        case 0x03:
        case 'C':
            return "header";
        case 0x04:
        case 'D':
            return "data";
        case 0x05:
        case 'E':
            return "line";
        case 0x81:
            return "end";
        case 0x82:
            return "refusal";
        default:
            return "other";
    }
}

// The quoted text of a serial line: STX "1/HDR1/01..." CR.
std::string QuotedText(const std::string& text) {
    std::string::size_type open = text.find('"');
    std::string::size_type close = text.rfind('"');
    if (open == std::string::npos || close <= open) return "";
    return text.substr(open + 1, close - open - 1);
}

std::string Number(unsigned long long value) {
    return std::to_string(value);
}

}  // namespace

TraceFile::TraceFile() {
    const char* set = std::getenv("ORV_LIB_TRACE");
    if (set != nullptr && *set != '\0') {
        path_ = set;
        std::error_code ec;
        auto size = std::filesystem::file_size(path_, ec);
        if (!ec) start_ = static_cast<long long>(size);
        return;
    }
    path_ = NewPrivateTempFile();
    if (path_.empty()) return;
    own_ = true;
    SetVariable("ORV_LIB_TRACE", path_);
}

TraceFile::~TraceFile() {
    if (own_) {
        std::remove(path_.c_str());
        UnsetVariable("ORV_LIB_TRACE");
    }
}

std::vector<std::string> TraceFile::Lines() const {
    std::vector<std::string> lines;
    if (path_.empty()) return lines;
    std::ifstream in(path_, std::ios::binary);
    in.seekg(start_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> ExplainFailure(const std::vector<std::string>& trace, std::uint32_t code) {
    // What was sent last and what came back, within the last call.
    unsigned blocks = 0, naks = 0, records = 0, file = 0;
    std::string lastSent, lastFrame, receiveWait, lastEvent, connect;
    bool refused = false, badChecksum = false, closed = false, noAnswer = false, eot = false;
    for (const std::string& line : trace) {
        std::string text = Text(line);
        if (StartsWith(text, "Ol_WriteRead") || StartsWith(text, "Ol_Write:") ||
            StartsWith(text, "Ol_Read:") || StartsWith(text, "Ol_EchoBack")) {
            blocks = naks = records = file = 0;
            refused = badChecksum = closed = noAnswer = eot = false;
            std::string::size_type at = text.find("receive wait ");
            if (at != std::string::npos) {
                receiveWait = text.substr(at + 13, text.find(' ', at + 13) - at - 13);
            }
        } else if (StartsWith(text, "net send ") && text.find("bytes:") != std::string::npos) {
            std::vector<unsigned> b = HexBytes(text);
            std::string frame = text.substr(text.find(':'));
            if (b.size() < 6 || frame == lastFrame) continue;  // a repeat of the same block
            lastFrame = frame;
            ++blocks;
            unsigned type = b[4];
            if ((type == 0x03 || type == 'C') && b.size() > 19) file = b[19];
            lastSent =
                "block " + Number(blocks) + " (" + BlockKind(type) +
                (file != 0 && std::string(BlockKind(type)) != "command" ? ", file " + Number(file)
                                                                        : "") +
                ", " + Number(b.size() - 7) + " bytes)";
        } else if (StartsWith(text, "net recv: refused") ||
                   (StartsWith(text, "net recv ") && HexBytes(text).size() > 4 &&
                    HexBytes(text)[4] == 0x82)) {
            refused = true;
        } else if (StartsWith(text, "net recv bad checksum")) {
            badChecksum = true;
        } else if (StartsWith(text, "net recv: connection closed")) {
            closed = true;
        } else if (StartsWith(text, "net recv: nothing within")) {
            noAnswer = true;
        } else if (StartsWith(text, "net connect: ") &&
                   text.find("connected to") == std::string::npos) {
            connect = text.substr(13);
        } else if (StartsWith(text, "serial send ")) {
            std::string body = QuotedText(text);
            if (text.find(": STX") == std::string::npos || body.size() < 3) continue;
            if (body == lastFrame) continue;  // the same record again, after a NAK
            lastFrame = body;
            ++records;
            naks = 0;
            std::string data = body.substr(1, body.size() - 3);
            if (StartsWith(data, "/HDR1/") && data.size() >= 22) {
                file = static_cast<unsigned>(std::strtoul(data.substr(20, 2).c_str(), nullptr, 16));
            }
            lastSent = "record " + Number(records) + " (" +
                       (StartsWith(data, "/HDR1/")
                            ? std::string("header")
                            : "\"" + data.substr(0, 24) + (data.size() > 24 ? "...\"" : "\"")) +
                       (file != 0 ? ", file " + Number(file) : "") + ", " + Number(data.size()) +
                       " characters)";
        } else if (StartsWith(text, "serial recv NAK")) {
            ++naks;
        } else if (StartsWith(text, "serial recv EOT")) {
            eot = true;
        } else if (StartsWith(text, "serial recv time-out")) {
            noAnswer = true;
        }
        if (text.find("refused") != std::string::npos || text.find("failed") != std::string::npos ||
            text.find("skipped") != std::string::npos ||
            text.find("not hex") != std::string::npos || text.find("cancel") != std::string::npos) {
            lastEvent = text;
        }
    }
    std::vector<std::string> said;
    if (!connect.empty()) said.push_back("connect: " + connect);
    if (!lastSent.empty()) {
        if (code == 84 || refused) {
            said.push_back("the register refused " + lastSent + " with 0x82");
        } else if (badChecksum) {
            said.push_back("the register's answer to " + lastSent + " had a wrong checksum");
        } else if (closed) {
            said.push_back("the register closed the connection after " + lastSent);
        } else if (naks > 0) {
            said.push_back(lastSent + " refused " + Number(naks) + " times (NAK)");
        } else if (eot || code == 37) {
            said.push_back("the register ended the exchange (EOT) after " + lastSent);
        } else if (noAnswer || code == 39) {
            said.push_back("no answer to " + lastSent +
                           (receiveWait.empty() ? "" : " within " + receiveWait + " ms"));
        } else {
            said.push_back("the last thing sent: " + lastSent);
        }
    }
    if (!lastEvent.empty()) said.push_back("trace: " + lastEvent);
    return said;
}

}  // namespace orvctl
