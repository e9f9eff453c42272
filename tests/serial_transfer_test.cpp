// The serial transfers end to end through the exports, against the register's
// side of the protocol: on the virtual null modem in line modes 0 and 1, and on
// a real pty in line mode 2.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/result_codes.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "serial/timers.h"
#include "support/serial_fixture.h"

namespace {

using orv::reg::SerialRegister;
using Reply = SerialRegister::Reply;
using Script = std::function<void(SerialRegister&)>;

constexpr int kWait = 5000;                // real ms the register waits for the host
constexpr std::uint32_t kTimeout = 20000;  // protocol ms the host waits for the register
constexpr std::uint8_t kEot = orv::reg::kEot;
constexpr std::uint8_t kAck = orv::reg::kAck;

// A table header: file 1 of 2, columns of widths 2 and 3 (W = 5, counter 0).
const std::string kHeaderCsv = "01,00,0000,00,0000,01,02,02,03";
const std::string kHeader1 = "/HDR1/0100000000000001020203";
const std::string kHeader2 = "/HDR1/0100000000000002020203";
// Their data records: counter, rows, last mark, then the rows' hex text.
const std::string kData1 = "00000201AABBCCDDEE0102030405";
const std::string kData2 = "00000101FFEEDDCCBB";
const std::string kCsv1 = "AABB,CCDDEE\r\n0102,030405\r\n";
const std::string kCsv2 = "FFEE,DDCCBB\r\n";

int OpenFileCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Runs the register's script on a thread of its own while the host calls.
std::uint32_t Against(SerialRegister& reg, const Script& script,
                      const std::function<std::uint32_t()>& host) {
    std::thread side([&] { script(reg); });
    const std::uint32_t rc = host();
    side.join();
    return rc;
}

// The register's side of a host receive: ENQ on the host's EOT, one record on
// each ACK with digits from '0', and EOT after the last when `end`.
Script Serve(std::vector<std::string> records, bool end = true) {
    return [records, end](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(kEot, kWait));
        r.SendControl(orv::reg::kEnq);
        int digit = '0';
        for (const std::string& record : records) {
            ASSERT_TRUE(r.Expect(kAck, kWait));
            r.SendFrame(record, {.digit = digit++});
        }
        if (end && r.Expect(kAck, kWait)) r.SendControl(kEot);
    };
}

// The data of the next n records, each acknowledged when in sequence.
std::vector<std::string> Records(SerialRegister& r, int n) {
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) {
        SerialRegister::Received rec = r.ReceiveRecord(kWait);
        got.push_back(rec.kind == SerialRegister::Received::Record ? rec.data : "(none)");
    }
    return got;
}

class SerialTransfer : public orv::test::SerialTest {
  protected:
    char* Path(const std::string& name) { return paths_.emplace_back(TempPath(name)).data(); }
    char* Put(const std::string& name, const std::string& bytes) {
        std::ofstream(TempPath(name), std::ios::binary) << bytes;
        return Path(name);
    }
    std::string Slurp(const std::string& name) {
        std::ifstream in(TempPath(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static ExchangeRequest Request(std::uint32_t direction, char* command = nullptr,
                                   std::uint32_t selection = 2) {
        ExchangeRequest r{};
        r.direction = direction;
        r.selection = selection;
        r.command = command;
        r.retries = 1;
        r.timeout = kTimeout;
        r.selectRetries = 1;
        r.selectTimeout = kTimeout;
        r.closeMode = 1;
        return r;
    }

    // A two-file csv series after a selection and a command cut at its CR;
    // closed with EOT and the register's ACK.
    void SendsSeries(SerialRegister& reg) {
        Put("hdr.txt", kHeaderCsv + "\r\n");
        Put("OUT.CSV", kCsv1);
        Put("OUT.002", kCsv2);
        char command[] = "SEND\rrest";
        ExchangeRequest request = Request(1, command, 0);
        request.closeMode = 0;
        HeaderFileDesc header{1, Path("hdr.txt"), 0};
        DataFileDesc data{1, 5, Path("OUT.CSV"), 0};
        std::vector<std::string> got;
        auto script = [&](SerialRegister& r) {
            ASSERT_TRUE(r.AnswerSelection(kWait));
            got = Records(r, 5);
            if (r.Expect(kEot, kWait)) r.SendControl(kAck);
        };
        EXPECT_EQ(Against(reg, script, [&] { return Ol_WriteRead(&request, &header, &data); }),
                  OL_OK);
        EXPECT_STREQ(command, "SEND");
        EXPECT_EQ(got, (std::vector<std::string>{"SEND", kHeader1, kData1, kHeader2, kData2}));
        EXPECT_EQ(data.byteCount, 5u);  // not touched when the PC sends
    }

    // The same series back after a bid, with a wrong first digit and a bad
    // checksum that the host refuses and gets again.
    void ReceivesSeries(SerialRegister& reg) {
        char command[] = "RECV";
        ExchangeRequest request = Request(0, command, 1);
        HeaderFileDesc header{1, Path("hdr_in.txt"), kTimeout};
        DataFileDesc data{1, 77, Path("IN.CSV"), kTimeout};
        int served = 0;
        auto script = [&](SerialRegister& r) {
            ASSERT_TRUE(r.AnswerBid(kWait));
            EXPECT_EQ(r.ReceiveRecord(kWait).data, "RECV");
            served = r.ServeRecords({kHeader1, kData1, kHeader2, kData2}, kWait,
                                    {{.digit = '5'}, {}, {.badChecksum = true}});
        };
        EXPECT_EQ(Against(reg, script, [&] { return Ol_WriteRead(&request, &header, &data); }),
                  OL_OK);
        EXPECT_EQ(served, 4);
        EXPECT_EQ(Slurp("hdr_in.txt"), kHeaderCsv);
        EXPECT_EQ(Slurp("IN.CSV"), kCsv1);
        EXPECT_EQ(Slurp("IN.002"), kCsv2);
        EXPECT_EQ(data.byteCount, 33u);  // data characters and commas, no line ends
    }

    // Ol_Write and Ol_Read go on with the digits that the exchanges before
    // left: Ol_Write selects nothing, Ol_Read awaits no ENQ.
    void WritesThenReads(SerialRegister& reg) {
        Put("lines.txt", "AB\r\nCD\nE\rF\n" + std::string(1500, 'x'));
        SendFileDesc out{Path("lines.txt"), kTimeout};
        std::vector<std::string> got;
        auto take = [&](SerialRegister& r) {
            got = Records(r, 5);
            EXPECT_TRUE(r.Expect(kEot, kWait));
        };
        EXPECT_EQ(Against(reg, take, [&] { return Ol_Write(&out); }), OL_OK);
        EXPECT_EQ(got, (std::vector<std::string>{"AB", "CD\n", "E", std::string(999, 'x'),
                                                 std::string(501, 'x')}));

        // A record that repeats the digit accepted last is acknowledged, not kept.
        DataFileDesc in{0, 7, Path("read.txt"), kTimeout};
        auto serve = [](SerialRegister& r) {
            int digit = '0' + r.sendSequence();
            ASSERT_TRUE(r.Expect(kAck, kWait));
            r.SendFrame("again", {.digit = digit == '0' ? '9' : digit - 1});
            for (const char* text : {"first", "second"}) {
                ASSERT_TRUE(r.Expect(kAck, kWait));
                r.SendFrame(text, {.digit = digit});
                digit = digit == '9' ? '0' : digit + 1;
            }
            if (r.Expect(kAck, kWait)) r.SendControl(kEot);
        };
        EXPECT_EQ(Against(reg, serve, [&] { return Ol_Read(&in); }), OL_OK);
        EXPECT_EQ(Slurp("read.txt"), "firstsecond");
        EXPECT_EQ(in.byteCount, 11u);
    }

    // The echo: at most 250 bytes out, an answer of a full record back; an
    // answer of EOT gives 37 and an empty file.
    void Echoes(SerialRegister& reg) {
        Put("echo.txt", std::string(300, 'e'));
        char command[] = "ECHO\r";
        ExchangeRequest request = Request(0, command);
        SendFileDesc send{Path("echo.txt"), kTimeout};
        DataFileDesc answer{0, 9, Path("answer.txt"), 0};
        const std::string full(1000, 'A');
        std::string echoed;
        auto script = [&](SerialRegister& r) {
            EXPECT_EQ(r.ReceiveRecord(kWait).data, "ECHO");
            echoed = r.ReceiveRecord(kWait, Reply::Silent).data;
            r.SendFrame(full, {.digit = '3'});
            EXPECT_TRUE(r.Expect(kEot, kWait));
        };
        EXPECT_EQ(Against(reg, script, [&] { return Ol_EchoBack(&request, &send, &answer); }),
                  OL_OK);
        EXPECT_EQ(echoed, std::string(250, 'e'));
        EXPECT_EQ(Slurp("answer.txt"), full);
        EXPECT_EQ(answer.byteCount, 1000u);

        request.command = nullptr;
        auto refuse = [](SerialRegister& r) {
            r.ReceiveRecord(kWait, Reply::Silent);
            r.SendControl(kEot);
        };
        EXPECT_EQ(Against(reg, refuse, [&] { return Ol_EchoBack(&request, &send, &answer); }),
                  OL_EOT);
        EXPECT_EQ(Slurp("answer.txt"), "");
        EXPECT_EQ(answer.byteCount, 0u);
    }

    void AllExchanges(SerialRegister& reg) {
        const int files = OpenFileCount();
        SendsSeries(reg);
        ReceivesSeries(reg);
        WritesThenReads(reg);
        Echoes(reg);
        EXPECT_EQ(OpenFileCount(), files);
    }

    // What the host sent after its last frame: bytes the register read since
    // `from`, and those it left unread.
    std::string TailSent(std::size_t from) {
        const std::vector<std::uint8_t>& log = reg().received();
        std::string sent(log.begin() + static_cast<std::ptrdiff_t>(from), log.end());
        const std::vector<std::uint8_t> rest = modem().TakeAll();
        sent.append(rest.begin(), rest.end());
        return sent.substr(sent.rfind('\r') + 1);
    }

    std::deque<std::string> paths_;
};

TEST_F(SerialTransfer, ExchangesOnTheVirtualPortInLineModesZeroAndOne) {
    // In line mode 0 the carrier is off throughout, so the whole run must stay
    // well within the carrier watch's 30 s: a slower clock keeps that margin
    // in real time on a busy machine.
    orv::platform::SetTimeScale(10);
    for (std::uint32_t mode : {0u, 1u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(Open(mode), OL_OK);
        modem().SetCarrier(mode != 0);  // switched RTS sends only while carrier is off
        AllExchanges(reg());
        EXPECT_EQ(Ol_Close(), OL_OK);
    }
}

TEST_F(SerialTransfer, ExchangesOverAPtyInLineModeTwo) {
    std::string device;
    std::unique_ptr<orv::reg::FdLine> line = orv::reg::FdLine::OpenPty(&device);
    ASSERT_NE(line, nullptr);
    setenv("ORV_LIB_COM9", device.c_str(), 1);
    SerialRegister reg(*line, "000001");
    SerialOpenRecord record{const_cast<char*>("000001"), 9, 6, 2};
    ASSERT_EQ(Ol_Open_RS(&record), OL_OK);
    AllExchanges(reg);
    EXPECT_EQ(Ol_Close(), OL_OK);
    unsetenv("ORV_LIB_COM9");
}

TEST_F(SerialTransfer, LineFileReplyFileAndMissingFilesOfASeries) {
    ASSERT_EQ(Open(1), OL_OK);
    // Line file: a CR LF line end is not sent, a bare LF is. Bare EOT to close.
    Put("lines.txt", "0102\r\n0304\n");
    ExchangeRequest send = Request(1);
    DataFileDesc lines{0, 0, Path("lines.txt"), 0};
    std::vector<std::string> got;
    auto take = [&](int n) {
        return [&got, n](SerialRegister& r) {
            got = Records(r, n);
            EXPECT_TRUE(r.Expect(kEot, kWait));
        };
    };
    EXPECT_EQ(Against(reg(), take(2), [&] { return Ol_WriteRead(&send, nullptr, &lines); }), OL_OK);
    EXPECT_EQ(got, (std::vector<std::string>{"0102", "0304\n"}));

    // A plain-layout series of 3 whose file 2 is missing: file 1 takes two
    // records, the empty file 3 one empty last record.
    Put("hdr.txt", "000000000000000103");
    std::string hex;
    for (int i = 0; i < 500; ++i) hex += "0123456789ABCDEF"[i % 16] + std::string("F");
    Put("P.TXT", hex);
    Put("P.003", "");
    HeaderFileDesc header{0, Path("hdr.txt"), 0};
    DataFileDesc data{0, 0, Path("P.TXT"), 0};
    EXPECT_EQ(Against(reg(), take(5), [&] { return Ol_WriteRead(&send, &header, &data); }), OL_OK);
    EXPECT_EQ(got, (std::vector<std::string>{
                       "/HDR1/000000000000000103", "000001EF00" + hex.substr(0, 990),
                       "01EF000501" + hex.substr(990), "/HDR1/000000000000000303", "0000000001"}));

    // Reply file: every record a line; byteCount goes on from the host's value.
    ExchangeRequest receive = Request(0);
    DataFileDesc reply{0, 10, Path("reply.txt"), kTimeout};
    EXPECT_EQ(Against(reg(), Serve({"REPLY1", "R2"}),
                      [&] { return Ol_WriteRead(&receive, nullptr, &reply); }),
              OL_OK);
    EXPECT_EQ(Slurp("reply.txt"), "REPLY1\r\nR2\r\n");
    EXPECT_EQ(reply.byteCount, 18u);

    // Neither descriptor and a closing pause: nothing on the line.
    send.endPause = 1;
    EXPECT_EQ(Ol_WriteRead(&send, nullptr, nullptr), OL_OK);
    EXPECT_TRUE(modem().TakeAll().empty());
}

// Every failure path: its result, what the host sent after its last frame
// (the EOT rule), and no file left open.
TEST_F(SerialTransfer, FailuresAndTheirEndings) {
    ASSERT_EQ(Open(1), OL_OK);
    Put("hdr.txt", kHeaderCsv);
    Put("S.CSV", kCsv2);
    Put("empty.txt", "");
    char* missing = Path("missing.txt");
    char* noFolder = Path("no/folder/x.txt");
    HeaderFileDesc header{1, Path("hdr.txt"), kTimeout}, noHeader{1, missing, 0},
        emptyHeader{0, Path("empty.txt"), 0}, badFormat{2, Path("hdr.txt"), 0},
        headerNoFolder{1, noFolder, kTimeout};
    DataFileDesc data{1, 0, Path("S.CSV"), 0}, missingData{0, 0, missing, 0},
        received{1, 0, Path("R.CSV"), kTimeout}, dataNoFolder{0, 0, noFolder, kTimeout},
        answer{0, 0, Path("answer.txt"), 0}, cancelled{0, 0, Path("cancel.txt"), 0};
    SendFileDesc sendMissing{missing, kTimeout}, sendEmpty{Path("empty.txt"), kTimeout},
        sendData{Path("S.CSV"), 4000};
    char command[] = "C";
    ExchangeRequest send = Request(1), receive = Request(0), quick = Request(1),
                    badSelection = Request(1, command, 3);
    quick.timeout = 10000;
    quick.retries = 0;
    const Script none = [](SerialRegister&) {};
    const Script ackOne = [](SerialRegister& r) { r.ReceiveRecord(kWait); };
    auto writeRead = [](ExchangeRequest& q, HeaderFileDesc* h, DataFileDesc* d) {
        return [request = &q, h, d] { return Ol_WriteRead(request, h, d); };
    };
    auto echo = [&](SendFileDesc* s, DataFileDesc* d) {
        return [&send, s, d] { return Ol_EchoBack(&send, s, d); };
    };
    struct Case {
        const char* name;
        Script script;
        std::function<std::uint32_t()> host;
        std::uint32_t rc;
        std::string tail;
    };
    const Case cases[] = {
        {"header file missing", none, writeRead(send, &noHeader, &data), OL_HEADER_FILE, "\x04"},
        {"header file empty", none, writeRead(send, &emptyHeader, &data), OL_HEADER_FILE, "\x04"},
        {"header format 2", none, writeRead(send, &badFormat, &data), OL_BAD_STATE, "\x04"},
        {"line file missing", none, writeRead(send, nullptr, &missingData), OL_DATA_FILE, "\x04"},
        {"selection 3", none, writeRead(badSelection, nullptr, nullptr), OL_BAD_STATE, ""},
        {"EOT for a data record",
         [](SerialRegister& r) {
             r.ReceiveRecord(kWait);
             r.ReceiveRecord(kWait, Reply::Silent);
             r.SendControl(kEot);
         },
         writeRead(quick, &header, &data), OL_EOT, ""},
        {"silence at a data record", ackOne, writeRead(quick, &header, &data), OL_NO_ANSWER,
         "\x04\x04"},
        {"silence at a header record", none, writeRead(quick, &header, &data), OL_NO_ANSWER,
         "\x04"},
        {"not a header", Serve({"NOT A HEADER"}, false), writeRead(receive, &header, &received),
         OL_NOT_HEADER, "\x04\x06"},
        {"header file not created", Serve({kHeader1}, false),
         writeRead(receive, &headerNoFolder, &received), OL_HEADER_FILE, "\x04\x06"},
        {"data file not created", Serve({kHeader1}, false),
         writeRead(receive, &header, &dataNoFolder), OL_DATA_FILE, "\x04\x06\x04"},
        {"EOT in the data of file 2", Serve({kHeader1, kData1, kHeader2, "00000100FFEEDDCCBB"}),
         writeRead(receive, &header, &received), OL_EOT, "\x04\x06\x06\x06\x06\x06"},
        {"cancelled", none,
         [&] {
             Ol_Cancel(1);
             std::uint32_t rc = Ol_Read(&cancelled);
             Ol_Cancel(0);
             return rc;
         },
         OL_CANCELLED, "\x04"},
        {"Ol_Write of a missing file", none, [&] { return Ol_Write(&sendMissing); }, OL_DATA_FILE,
         "\x04"},
        {"Ol_Read without a folder", none, [&] { return Ol_Read(&dataNoFolder); }, OL_DATA_FILE,
         ""},
        {"echo of a missing file", none, echo(&sendMissing, &answer), OL_DATA_FILE, "\x04"},
        {"echo of an empty file", none, echo(&sendEmpty, &answer), OL_DATA_FILE, "\x04"},
        {"echo without a send file", none, echo(nullptr, &answer), OL_DATA_FILE, "\x04"},
        {"echo answer not stored", none, echo(&sendData, &dataNoFolder), OL_DATA_FILE, ""},
        {"echo answer missing", none, echo(&sendData, &answer), OL_NO_ANSWER, "\x04"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int files = OpenFileCount();
        const std::size_t from = reg().received().size();
        EXPECT_EQ(Against(reg(), c.script, c.host), c.rc);
        EXPECT_EQ(TailSent(from), c.tail);
        EXPECT_EQ(OpenFileCount(), files);
    }
    // Files completed before a failure stay; the one cut off keeps its rows.
    EXPECT_EQ(Slurp("R.CSV"), kCsv1);
    EXPECT_EQ(Slurp("R.002"), kCsv2);
    EXPECT_EQ(Slurp("cancel.txt"), "");
}

TEST_F(SerialTransfer, LineFailuresReachTheHost) {
    Put("line.txt", "0102\r\n");
    DataFileDesc lines{0, 0, Path("line.txt"), 0};
    ExchangeRequest send = Request(1);
    send.timeout = 60000;  // longer than the carrier watch's 300 ticks
    struct Case {
        std::uint32_t mode;
        std::function<void()> fault;
        std::uint32_t rc;
    };
    const Case cases[] = {
        {1, [&] { modem().SetCarrier(false); }, OL_DSR_LOST},
        {0, [&] { modem().SetCarrier(false); }, OL_CARRIER_LOST},  // silent, RTS dropped
        {0, [] {}, OL_CARRIER_BUSY},  // carrier never drops for the turnaround
        {1, [&] { modem().SetCts(false); }, OL_CTS_TIMEOUT},
        {1, [] { orv::serial::RsSetLineStatus(orv::LineDown); }, OL_LINE_DOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        ASSERT_EQ(Open(c.mode), OL_OK);
        c.fault();
        const int files = OpenFileCount();
        EXPECT_EQ(Ol_WriteRead(&send, nullptr, &lines), c.rc);
        EXPECT_EQ(OpenFileCount(), files);
        Ol_Close();
        modem().SetAllLines(true);
        modem().TakeAll();
    }
}

}  // namespace
