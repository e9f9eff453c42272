// The handshakes of the serial link against the register's side of the
// protocol on a virtual null modem: sequence control, retries, time-outs,
// cancels and a register that misbehaves.
#include <gtest/gtest.h>

#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using namespace orv::reg;
using orv::test::CancelAfter;
using orv::test::Text;
using Call = std::function<std::uint32_t()>;

constexpr std::uint32_t kCancelled = orv::CancelRequested;
constexpr std::uint32_t kEotStatus = orv::LinkEot;
constexpr std::uint32_t kNoAnswer = orv::LinkNoAnswer;

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
    // Every byte the register read, once its script is done.
    std::vector<std::uint8_t> Wire() {
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
    EXPECT_EQ(RecvRecord(), kEotStatus);
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
    EXPECT_EQ(Wire(), Text(std::string("\x04\x04\x04"
                                       "123\0\0\0\x05",
                                       10)));
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
    EXPECT_EQ(RecvRecord(), kCancelled);
    EXPECT_EQ(SendRecord("ab"), kCancelled);
    EXPECT_EQ(RsEndWithAck(5000, 0), kCancelled);
    EXPECT_EQ(SendRecv("ab"), kCancelled);
    EXPECT_EQ(modem().TakeAll(), Text("\x04\x04\x04\x04"));

    // Our rule: a cancel ends every wait on a quiet line at once, with a time
    // limit or without. Only a selection or a bid sends EOT before it returns.
    const std::string selection(
        "\x04\x04\x04"
        "000001\x05",
        10);
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
            std::thread canceller = CancelAfter(50);
            EXPECT_LT(Timed([&] { EXPECT_EQ(waits[i](), kCancelled); }), 50u * 2000u);
            canceller.join();
            EXPECT_EQ(modem().TakeAll(), Text(sent[i]));
        }
    }
}

}  // namespace
