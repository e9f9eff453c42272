// The serial link's handshakes against the register's side on a virtual null
// modem (sequence control, retries, time-outs, cancels), then the transfers
// through the exports and how every failure ends.
#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using namespace orv::reg;
using orv::test::Text;
using Call = std::function<std::uint32_t()>;
using Reply = SerialRegister::Reply;
using Script = std::function<void(SerialRegister&)>;
using Texts = std::vector<std::string>;

constexpr std::uint32_t kNoAnswer = orv::LinkNoAnswer;
constexpr int kWait = 5000;                // real ms the register waits for the host
constexpr std::uint32_t kTimeout = 20000;  // protocol ms the host waits for the register

class SerialProcedures : public orv::test::SerialTest {
  protected:
    void SetUp() override {
        SerialTest::SetUp();
        ASSERT_EQ(Open(1), OL_OK);
    }
    std::uint32_t SendRecv(const std::string& data, std::uint32_t ms = 5000,
                           std::int32_t capacity = kRecordDataMax) {
        return RsSendRecvRecord(reinterpret_cast<const std::uint8_t*>(data.data()),
                                static_cast<std::int32_t>(data.size()), ms, out_, &length_,
                                capacity);
    }
    // Every procedure that waits, with time limit ms and the retries it takes.
    std::vector<Call> Waits(std::uint32_t ms, std::uint32_t retries) {
        return {[=] { return RsWaitEnq(ms, retries); },
                [=, this] { return RecvRecord(ms); },
                [=] { return RsSelect(Cells().stationAddress, ms, retries); },
                [=] { return RsBid(ms, retries); },
                [=, this] { return SendRecord("ab", ms, retries); },
                [=] { return RsEndWithAck(ms, retries); },
                [=, this] { return SendRecv("ab", ms); }};
    }
    std::vector<std::uint8_t> Wire() {  // what the register read, once done
        JoinBackground();
        return reg().received();
    }
};

// Every refused frame gets NAK; an ENQ before any frame gets the reply again,
// one after a frame is ignored; a repeat of the record accepted last gets ACK
// and is skipped.
TEST_F(SerialProcedures, ReceiveRecords) {
    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(kEot, kWait));
        for (int i = 0; i < 2; ++i) {
            r.SendControl(kEnq);
            ASSERT_TRUE(r.Expect(kAck, kWait));
        }
        const std::pair<std::string, FrameFaults> refused[] = {
            {"r0", {.digit = '1'}},  // the first record must carry '0'
            {"x", {}},               // one data byte: too short
            {"ab", {.lowercaseChecksum = true}},
            {"ab", {.badChecksum = true}},
            {"ab", {.omitStx = true}},
            {std::string(1100, 'a'), {}},  // longer than the buffer
        };
        for (const auto& [data, faults] : refused) {
            r.SendFrame(data, faults);
            ASSERT_TRUE(r.Expect(kNak, kWait));
        }
        for (const char* data : {"r0", "r0 again"}) {
            r.SendFrame(data, {.digit = '0'});
            ASSERT_TRUE(r.Expect(kAck, kWait));
        }
        r.SendControl(kEnq);
        r.SendFrame("r1", {.digit = '1'});
        ASSERT_TRUE(r.Expect(kAck, kWait));
        r.SendControl(kEot);
    });
    Cells().recordSeen = 1;  // as an earlier exchange may leave them
    Cells().receiveSequence = 5;
    Cells().firstRecord = 0;
    ASSERT_EQ(RsWaitEnq(5000, 0), 0u);
    for (const char* expected : {"r0", "r1"}) {
        ASSERT_EQ(RecvRecord(), 0u);
        EXPECT_EQ(Got(), expected);
    }
    EXPECT_EQ(RecvRecord(), orv::LinkEot);
    EXPECT_EQ(Wire(), Text("\x04\x06\x06\x15\x15\x15\x15\x15\x15\x06\x06\x06"));
    // A time-out returns 2 and sends nothing more than the ACK.
    EXPECT_EQ(RecvRecord(300), kNoAnswer);
    EXPECT_EQ(modem().TakeAll(), Text("\x06"));
}

TEST_F(SerialProcedures, SelectAndBid) {
    ASSERT_EQ(Ol_Close(), OL_OK);
    ASSERT_EQ(Open(1, "123"), OL_OK);  // a short address is padded with NULs
    RunRegister([](SerialRegister& r) { r.AnswerSelection(kWait, true); });
    Cells().sendSequence = 4;
    EXPECT_EQ(RsSelect(Cells().stationAddress, 5000, 0), 0u);
    EXPECT_EQ(Wire(), Text("\x04\x04\x04" + std::string("123\0\0\0", 6) + "\x05"));
    EXPECT_EQ(Cells().sendSequence, 0u);
    RunRegister([](SerialRegister& r) { r.AnswerBid(kWait); });
    Cells().sendSequence = 4;
    EXPECT_EQ(RsBid(5000, 0), 0u);
    EXPECT_EQ(Cells().sendSequence, 0u);
}

TEST_F(SerialProcedures, SendRecords) {
    std::vector<SerialRegister::Received> got;
    RunRegister([&](SerialRegister& r) {
        ASSERT_TRUE(r.AnswerSelection(kWait));
        got.push_back(r.ReceiveRecord(kWait, SerialRegister::Reply::Nak));
        r.SendRaw("junk");  // discarded by the host after the NAK
        got.push_back(r.ReceiveRecord(kWait));
        got.push_back(r.ReceiveRecord(kWait));
    });
    ASSERT_EQ(RsSelect(Cells().stationAddress, 5000, 0), 0u);
    EXPECT_EQ(SendRecord(std::string("first\rignored"), 5000, 1), 0u);
    EXPECT_EQ(SendRecord("second"), 0u);
    JoinBackground();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(std::string({got[0].digit, got[1].digit, got[2].digit}), "001");  // same again
    EXPECT_EQ(got[1].data + got[2].data, "firstsecond");
    EXPECT_EQ(modem().Purges(), 1u);
    // The resend waits 100 ms after the NAK, which follows "first" + 5.
    auto log = modem().WriteLog();
    ASSERT_GT(log.size(), 20u);
    EXPECT_GE(log[20].atMs - log[19].atMs, 100u);

    // No answer and no retries: the frame once, then EOT.
    EXPECT_EQ(SendRecord("ab", 200, 0), kNoAnswer);
    EXPECT_EQ(modem().TakeAll(), Text(BuildFrame('2', "ab") + "\x04"));
    EXPECT_GE(Timed([] { EXPECT_EQ(RsSendEot(), 0u); }), 1000u);
    EXPECT_EQ(modem().TakeAll(), Text("\x04"));
}

TEST_F(SerialProcedures, SendRecvRecord) {
    Cells().sendSequence = 3;
    auto answer = [](std::string reply, FrameFaults faults) {
        return [reply, faults](SerialRegister& r) {
            r.ReceiveRecord(kWait, SerialRegister::Reply::Silent);
            r.SendFrame(reply, faults);
        };
    };
    // One data byte with any digit is an answer; EOT follows it.
    RunRegister(answer("Z", {.digit = '7'}));
    EXPECT_EQ(SendRecv("echo"), 0u);
    EXPECT_EQ(Got(), "Z");
    ASSERT_TRUE(modem().WaitPending(1, 1000));
    EXPECT_EQ(Wire(), Text(BuildFrame('3', "echo")));  // the digit is not advanced
    EXPECT_EQ(modem().TakeAll(), Text("\x04"));
    // Bad answers, and ENQ before any frame: 2, nothing sent after the frame.
    RunRegister(answer("Z", {.badChecksum = true}));
    EXPECT_EQ(SendRecv("echo"), kNoAnswer);
    RunRegister(answer("toolong", {}));
    EXPECT_EQ(SendRecv("echo", 5000, 3), kNoAnswer);
    RunRegister([](SerialRegister& r) {
        r.ReceiveRecord(kWait, SerialRegister::Reply::Silent);
        r.SendControl(kEnq);
    });
    Cells().recordSeen = 0;
    EXPECT_EQ(SendRecv("echo"), kNoAnswer);
    JoinBackground();
    EXPECT_EQ(modem().Pending(), 0u);
    EXPECT_EQ(SendRecv("echo", 200), kNoAnswer);  // no answer: EOT
    EXPECT_EQ(modem().TakeAll(), Text(BuildFrame('3', "echo") + "\x04"));
}

TEST_F(SerialProcedures, Cancels) {
    // Set before a procedure: EOT, and nothing else.
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    EXPECT_EQ(RecvRecord(), orv::CancelRequested);
    EXPECT_EQ(SendRecord("ab"), orv::CancelRequested);
    EXPECT_EQ(RsEndWithAck(5000, 0), orv::CancelRequested);
    EXPECT_EQ(SendRecv("ab"), orv::CancelRequested);
    EXPECT_EQ(modem().TakeAll(), Text("\x04\x04\x04\x04"));

    // Our rule: a cancel ends every wait on a quiet line at once, with a time
    // limit or without. Only a selection or a bid sends EOT before it returns.
    const std::string selection = "\x04\x04\x04" + std::string("000001") + "\x05";
    const std::string sent[] = {"\x04",
                                "\x06",
                                selection + "\x04",
                                "\x05\x04",
                                BuildFrame('0', "ab"),
                                "\x04",
                                BuildFrame('0', "ab")};
    for (std::uint32_t ms : {600000u, 0u}) {
        std::vector<Call> waits = Waits(ms, 1);
        for (std::size_t i = 0; i < waits.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << ms << " ms, wait " << i);
            Ol_Cancel(0);
            std::thread canceller = orv::test::CancelAfter(50);
            EXPECT_LT(Timed([&] { EXPECT_EQ(waits[i](), orv::CancelRequested); }), 50u * 2000u);
            canceller.join();
            EXPECT_EQ(modem().TakeAll(), Text(sent[i]));
        }
    }
}

// --- transfers through the exports ---

// A table header of columns of widths 2 and 3 for file k of last, the
// records of the two files of a series and the csv files they make.
std::string Header(char k, char last = '2') {
    return std::string("/HDR1/010000000000000") + k + '0' + last + "0203";
}
const std::string kHeaderCsv = "01,00,0000,00,0000,01,02,02,03";
const std::string kHeader1 = Header('1'), kHeader2 = Header('2');
const std::string kData1 = "00000201AABBCCDDEE0102030405", kData2 = "00000101FFEEDDCCBB";
const std::string kCsv1 = "AABB,CCDDEE\r\n0102,030405\r\n", kCsv2 = "FFEE,DDCCBB\r\n";

// The register's side of a host receive: ENQ on the host's EOT (or, from
// `digit` on, no ENQ), one record on each ACK, and EOT after the last when `end`.
Script Serve(Texts records, bool end = true, int digit = 0) {
    return [records, end, digit](SerialRegister& r) mutable {
        if (digit == 0) {
            ASSERT_TRUE(r.Expect(kEot, kWait));
            r.SendControl(orv::reg::kEnq);
            digit = '0';
        }
        for (const std::string& record : records) {
            ASSERT_TRUE(r.Expect(kAck, kWait));
            r.SendFrame(record, {.digit = digit++});
        }
        if (end && r.Expect(kAck, kWait)) r.SendControl(kEot);
    };
}

// The register takes n records, acknowledging each in sequence, and the
// closing EOT; after a selection, that EOT gets ACK.
Script Take(Texts* got, int n, bool selected = false) {
    return [got, n, selected](SerialRegister& r) {
        if (selected && !r.AnswerSelection(kWait)) return;
        got->clear();
        for (int i = 0; i < n; ++i) {
            SerialRegister::Received rec = r.ReceiveRecord(kWait);
            got->push_back(rec.kind == SerialRegister::Received::Record ? rec.data : "(none)");
        }
        EXPECT_TRUE(r.Expect(kEot, kWait));
        if (selected) r.SendControl(kAck);
    };
}

// Ol_WriteRead, to be called later.
std::function<std::uint32_t()> WriteRead(ExchangeRequest& q, HeaderFileDesc* h, DataFileDesc* d) {
    return [&q, h, d] { return Ol_WriteRead(&q, h, d); };
}

class SerialTransfer : public orv::test::SerialTest {
  protected:
    char* Path(const std::string& name) { return paths_.emplace_back(TempPath(name)).data(); }
    char* Put(const std::string& name, const std::string& bytes) {
        orv::test::Put(TempPath(name), bytes);
        return Path(name);
    }
    std::string Slurp(const std::string& name) { return orv::test::Slurp(TempPath(name)); }
    static ExchangeRequest Request(std::uint32_t direction, char* command = nullptr,
                                   std::uint32_t selection = 2) {
        return {direction, selection, command, 0, 1, kTimeout, 0, 1, kTimeout, 1, 0};
    }
    // The host's call while the register runs script.
    std::uint32_t Against(const Script& script, const std::function<std::uint32_t()>& host) {
        RunRegister(script);
        const std::uint32_t rc = host();
        JoinBackground();
        return rc;
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

TEST_F(SerialTransfer, ExchangesInLineModesZeroAndOne) {
    // In line mode 0 the carrier is off throughout and the carrier watch counts
    // between sends: a slower clock keeps its 30 s far off on a busy machine.
    orv::platform::SetTimeScale(10);
    for (std::uint32_t mode : {0u, 1u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(Open(mode), OL_OK);
        modem().SetCarrier(mode != 0);  // switched RTS sends only while carrier is off
        const long files = orv::test::OpenDescriptors();
        Texts got;
        ExchangeRequest request{};

        // A two-file csv series after a selection and a command cut at its CR,
        // closed with EOT and the register's ACK.
        Put("OUT.002", kCsv2);
        char send[] = "SEND\rrest";
        request = Request(1, send, 0);
        request.closeMode = 0;
        HeaderFileDesc header{1, Put("hdr.txt", kHeaderCsv + "\r\n"), 0};
        DataFileDesc data{1, 5, Put("OUT.CSV", kCsv1), 0};
        EXPECT_EQ(Against(Take(&got, 5, true), WriteRead(request, &header, &data)), OL_OK);
        EXPECT_STREQ(send, "SEND");
        EXPECT_EQ(got, (Texts{"SEND", kHeader1, kData1, kHeader2, kData2}));
        EXPECT_EQ(data.byteCount, 5u);  // not touched when the PC sends

        // The same series back after a bid; the host refuses a wrong first
        // digit and a bad checksum and gets those records again.
        char recv[] = "RECV";
        request = Request(0, recv, 1);
        header = {1, Path("hdr_in.txt"), kTimeout};
        data = {1, 77, Path("IN.CSV"), kTimeout};
        auto recvSeries = [&](SerialRegister& r) {
            ASSERT_TRUE(r.AnswerBid(kWait));
            EXPECT_EQ(r.ReceiveRecord(kWait).data, "RECV");
            EXPECT_EQ(r.ServeRecords({kHeader1, kData1, kHeader2, kData2}, kWait,
                                     {{.digit = '5'}, {}, {.badChecksum = true}}),
                      4);
        };
        EXPECT_EQ(Against(recvSeries, WriteRead(request, &header, &data)), OL_OK);
        EXPECT_EQ(Slurp("hdr_in.txt") + Slurp("IN.CSV") + Slurp("IN.002"),
                  kHeaderCsv + kCsv1 + kCsv2);
        EXPECT_EQ(data.byteCount, 33u);

        // Ol_Write and Ol_Read go on with the digits the series left: Ol_Write
        // selects nothing, Ol_Read awaits no ENQ.
        SendFileDesc out{Put("write.txt", "AB\r\nCD\nE\rF\n" + std::string(1500, 'x')), kTimeout};
        EXPECT_EQ(Against(Take(&got, 5), [&] { return Ol_Write(&out); }), OL_OK);
        EXPECT_EQ(got, (Texts{"AB", "CD\n", "E", std::string(999, 'x'), std::string(501, 'x')}));
        data = {0, 7, Path("read.txt"), kTimeout};
        EXPECT_EQ(Against(Serve({"first", "second"}, true, '4'), [&] { return Ol_Read(&data); }),
                  OL_OK);
        EXPECT_EQ(Slurp("read.txt"), "firstsecond");
        EXPECT_EQ(data.byteCount, 11u);

        // A series of 3 whose file 2 is missing; no command, a bare EOT.
        Put("M.003", kCsv2);
        request = Request(1);
        header = {1, Put("hdr3.txt", "01,00,0000,00,0000,01,03,02,03"), 0};
        data = {1, 0, Put("M.CSV", kCsv1), 0};
        EXPECT_EQ(Against(Take(&got, 4), WriteRead(request, &header, &data)), OL_OK);
        EXPECT_EQ(got, (Texts{Header('1', '3'), kData1, Header('3', '3'), kData2}));
        // A line file: a CR LF line end is not sent, a bare LF is.
        data = {0, 0, Put("lines.txt", "0102\r\n0304\n"), 0};
        EXPECT_EQ(Against(Take(&got, 2), WriteRead(request, nullptr, &data)), OL_OK);
        EXPECT_EQ(got, (Texts{"0102", "0304\n"}));
        // A reply file: every record a line; byteCount goes on from the host's value.
        request = Request(0);
        data = {0, 10, Path("reply.txt"), kTimeout};
        EXPECT_EQ(Against(Serve({"REPLY1", "R2"}), WriteRead(request, nullptr, &data)), OL_OK);
        EXPECT_EQ(Slurp("reply.txt"), "REPLY1\r\nR2\r\n");
        EXPECT_EQ(data.byteCount, 18u);

        // The echo: at most 250 bytes out, a full record back.
        char echo[] = "ECHO\r";
        request = Request(0, echo);
        SendFileDesc echoed{Put("echo.txt", std::string(300, 'e')), kTimeout};
        data = {0, 9, Path("answer.txt"), 0};
        auto answer = [&](SerialRegister& r) {
            EXPECT_EQ(r.ReceiveRecord(kWait).data, "ECHO");
            got = {r.ReceiveRecord(kWait, Reply::Silent).data};
            r.SendFrame(std::string(1000, 'A'), {.digit = '3'});
            EXPECT_TRUE(r.Expect(kEot, kWait));
        };
        EXPECT_EQ(Against(answer, [&] { return Ol_EchoBack(&request, &echoed, &data); }), OL_OK);
        EXPECT_EQ(got, Texts{std::string(250, 'e')});
        EXPECT_EQ(Slurp("answer.txt"), std::string(1000, 'A'));
        EXPECT_EQ(data.byteCount, 1000u);

        // Neither descriptor and a closing pause: nothing on the line.
        request = Request(1);
        request.endPause = 1;
        EXPECT_EQ(Ol_WriteRead(&request, nullptr, nullptr), OL_OK);
        EXPECT_TRUE(modem().TakeAll().empty());
        EXPECT_EQ(orv::test::OpenDescriptors(), files);
        EXPECT_EQ(Ol_Close(), OL_OK);
    }
}

// Every failure path: its result, what the host sent after its last frame
// (the EOT rule), and no file left open.
TEST_F(SerialTransfer, FailuresAndTheirEndings) {
    ASSERT_EQ(Open(1), OL_OK);
    Put("hdr.txt", kHeaderCsv);
    Put("S.CSV", kCsv2);
    char* empty = Put("empty.txt", "");
    char* missing = Path("missing.txt");
    char* noFolder = Path("no/folder/x.txt");
    HeaderFileDesc header{1, Path("hdr.txt"), kTimeout}, emptyHeader{0, empty, 0},
        headerNoFolder{1, noFolder, kTimeout};
    DataFileDesc data{1, 0, Path("S.CSV"), 0}, missingData{0, 0, missing, 0},
        received{1, 0, Path("R.CSV"), kTimeout}, dataNoFolder{0, 0, noFolder, kTimeout},
        answer{0, 0, Path("answer.txt"), 0};
    SendFileDesc sendMissing{missing, kTimeout}, sendEmpty{empty, kTimeout},
        sendData{Path("S.CSV"), 4000};
    char command[] = "C";
    ExchangeRequest send = Request(1), receive = Request(0), badSelection = Request(1, command, 3);
    const Script none = [](SerialRegister&) {};
    const Script eotForEcho = [](SerialRegister& r) {  // the register's EOT for an answer
        r.ReceiveRecord(kWait, Reply::Silent);
        r.SendControl(kEot);
    };
    auto echo = [&](SendFileDesc* s, DataFileDesc* d) {
        return [&send, s, d] { return Ol_EchoBack(&send, s, d); };
    };
    auto closeFails = [&](const char* name, std::function<std::uint32_t()> host) {
        return [path = TempPath(name), host] {
            orv::test::CloseFails fails(path);
            return host();
        };
    };
    auto cancelled = [&] {
        Ol_Cancel(1);
        const std::uint32_t rc = Ol_Read(&answer);
        Ol_Cancel(0);
        return rc;
    };
    // Each case: what the register does, the host's call, its result and what
    // the host sent after its last frame.
    const std::tuple<const char*, Script, Call, std::uint32_t, std::string> cases[] = {
        {"header file empty", none, WriteRead(send, &emptyHeader, &data), OL_HEADER_FILE, "\x04"},
        {"line file missing", none, WriteRead(send, nullptr, &missingData), OL_DATA_FILE, "\x04"},
        {"selection 3", none, WriteRead(badSelection, nullptr, nullptr), OL_BAD_STATE, ""},
        {"not a header", Serve({"NOT A HEADER"}, false), WriteRead(receive, &header, &received),
         OL_NOT_HEADER, "\x04\x06"},
        {"header file not created", Serve({kHeader1}, false),
         WriteRead(receive, &headerNoFolder, &received), OL_HEADER_FILE, "\x04\x06"},
        {"data file not created", Serve({kHeader1}, false),
         WriteRead(receive, &header, &dataNoFolder), OL_DATA_FILE, "\x04\x06\x04"},
        {"data file 2 not closed", Serve({kHeader1, kData1, kHeader2, kData2}, false),
         closeFails("R.002", WriteRead(receive, &header, &received)), OL_DATA_FILE,
         "\x04\x06\x06\x06\x06"},
        {"reply file not closed", Serve({"R1"}),
         closeFails("answer.txt", WriteRead(receive, nullptr, &answer)), OL_DATA_FILE,
         "\x04\x06\x06"},
        {"cancelled", none, cancelled, OL_CANCELLED, "\x04"},
        {"Ol_Write of a missing file", none, [&] { return Ol_Write(&sendMissing); }, OL_DATA_FILE,
         "\x04"},
        {"Ol_Read without a folder", none, [&] { return Ol_Read(&dataNoFolder); }, OL_DATA_FILE,
         ""},
        {"echo of an empty file", none, echo(&sendEmpty, &answer), OL_DATA_FILE, "\x04"},
        {"echo without a send file", none, echo(nullptr, &answer), OL_DATA_FILE, "\x04"},
        {"echo answer not stored", none, echo(&sendData, &dataNoFolder), OL_DATA_FILE, ""},
        {"echo answer missing", none, echo(&sendData, &answer), OL_NO_ANSWER, "\x04"},
        {"echo answered with EOT", eotForEcho, echo(&sendData, &answer), OL_EOT, ""},
    };
    for (const auto& [name, script, host, rc, tail] : cases) {
        SCOPED_TRACE(name);
        const long files = orv::test::OpenDescriptors();
        const std::size_t from = reg().received().size();
        EXPECT_EQ(Against(script, host), rc);
        EXPECT_EQ(TailSent(from), tail);
        EXPECT_EQ(orv::test::OpenDescriptors(), files);
    }
}

TEST_F(SerialTransfer, LineFailuresReachTheHost) {
    Put("line.txt", "0102\r\n");
    DataFileDesc lines{0, 0, Path("line.txt"), 0};
    ExchangeRequest send = Request(1);
    send.timeout = 60000;  // longer than the carrier watch's 300 ticks
    const std::tuple<std::uint32_t, std::function<void()>, std::uint32_t> cases[] = {
        {1, [&] { modem().SetCarrier(false); }, OL_DSR_LOST},
        {0, [&] { modem().SetCarrier(false); }, OL_CARRIER_LOST},  // silent, RTS dropped
        {0, [] {}, OL_CARRIER_BUSY},  // carrier never drops for the turnaround
        {1, [&] { modem().SetCts(false); }, OL_CTS_TIMEOUT},
        {1, [] { orv::serial::RsSetLineStatus(orv::LineDown); }, OL_LINE_DOWN},
    };
    for (const auto& [mode, fault, rc] : cases) {
        SCOPED_TRACE(rc);
        ASSERT_EQ(Open(mode), OL_OK);
        fault();
        const long files = orv::test::OpenDescriptors();
        EXPECT_EQ(Ol_WriteRead(&send, nullptr, &lines), rc);
        EXPECT_EQ(orv::test::OpenDescriptors(), files);
        Ol_Close();
        modem().SetAllLines(true);
        modem().TakeAll();
    }
}

}  // namespace
