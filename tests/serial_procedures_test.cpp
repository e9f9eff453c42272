// The handshakes of the serial link against the register's side of the
// protocol on a virtual null modem: sequence control, retries, time-outs,
// cancels and a register that misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "api/library.h"
#include "api/result_codes.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "serial/frame.h"
#include "serial/lines.h"
#include "serial/procedures.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"
#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using orv::CancelRequested;
using orv::LinkEot;
using orv::LinkNoAnswer;
using orv::test::Bytes;
using orv::reg::Event;
using orv::reg::SerialRegister;

constexpr int kWait = 5000;  // real ms the register waits for the host
constexpr std::uint32_t kCancelled = CancelRequested;

const std::uint8_t* Data(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}
std::int32_t Size(const std::string& text) {
    return static_cast<std::int32_t>(text.size());
}

class SerialProcedures : public orv::test::SerialTest {
  protected:
    void SetUp() override {
        SerialTest::SetUp();
        ASSERT_EQ(Open(1), OL_OK);
    }
    // RsRecvRecord into out_.
    std::uint32_t RecvRecord(std::uint32_t timeoutMs = 5000) {
        length_ = -1;
        return RsRecvRecord(out_, &length_, timeoutMs);
    }
    std::string Got() const {
        return std::string(reinterpret_cast<const char*>(out_), static_cast<std::size_t>(length_));
    }
    std::uint32_t SendRecord(const std::string& data, std::uint32_t timeoutMs = 5000,
                             std::uint32_t retries = 0) {
        return RsSendRecord(Data(data), Size(data), timeoutMs, retries);
    }
    std::uint32_t SendRecv(const std::string& data, std::uint32_t timeoutMs = 5000,
                           std::int32_t capacity = kRecordDataMax) {
        length_ = -1;
        return RsSendRecvRecord(Data(data), Size(data), timeoutMs, out_, &length_, capacity);
    }
    std::vector<std::uint8_t> Wire() {
        JoinRegister();
        return reg().received();
    }

    std::uint8_t out_[kRecordDataMax] = {};
    std::int32_t length_ = -1;
};

TEST_F(SerialProcedures, WaitEnq) {
    // A silent register: EOT at the start, once per retry and at the end.
    EXPECT_EQ(RsWaitEnq(200, 2), static_cast<std::uint32_t>(LinkNoAnswer));
    EXPECT_EQ(modem().TakeAll(), Bytes("\x04\x04\x04\x04"));

    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kNak);  // ACK, NAK and frames are ignored
        r.SendFrame("zz");
        r.SendControl(orv::reg::kEnq);
    });
    Cells().recordSeen = 1;
    EXPECT_EQ(RsWaitEnq(5000, 0), 0u);
    EXPECT_EQ(Cells().firstRecord, 1u);
    EXPECT_EQ(Cells().receiveSequence, 0u);
    EXPECT_EQ(Cells().recordSeen, 0u);

    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kEot);
    });
    EXPECT_EQ(RsWaitEnq(5000, 0), static_cast<std::uint32_t>(LinkEot));
}

TEST_F(SerialProcedures, ReceiveRecordsInSequence) {
    std::vector<std::string> records = {"first", "second", "third"};
    int acknowledged = 0;
    orv::reg::FrameFaults wrongDigit;
    wrongDigit.digit = '1';  // the first record must carry '0': NAK, then sent again
    RunRegister(
        [&](SerialRegister& r) { acknowledged = r.ServeRecords(records, kWait, {wrongDigit}); });
    ASSERT_EQ(RsWaitEnq(5000, 0), 0u);
    for (const std::string& expected : records) {
        ASSERT_EQ(RecvRecord(), 0u);
        EXPECT_EQ(Got(), expected);
    }
    EXPECT_EQ(RecvRecord(), static_cast<std::uint32_t>(LinkEot));
    JoinRegister();
    EXPECT_EQ(acknowledged, 3);
    EXPECT_EQ(Cells().receiveSequence, 2u);
}

TEST_F(SerialProcedures, RepeatedRecordIsAcknowledgedAndSkipped) {
    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kEnq);
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendFrame("r0");
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendFrame("r0 again", {.digit = '0'});
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendFrame("r1", {.digit = '1'});
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendControl(orv::reg::kEot);
    });
    ASSERT_EQ(RsWaitEnq(5000, 0), 0u);
    ASSERT_EQ(RecvRecord(), 0u);
    EXPECT_EQ(Got(), "r0");
    ASSERT_EQ(RecvRecord(), 0u);
    EXPECT_EQ(Got(), "r1");
    EXPECT_EQ(RecvRecord(), static_cast<std::uint32_t>(LinkEot));
}

TEST_F(SerialProcedures, ReceiveRefusesBadFramesAndRepeatsOnEnq) {
    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kEnq);
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendControl(orv::reg::kEnq);  // before any frame: the reply goes out again
        ASSERT_TRUE(r.Expect(orv::reg::kAck, kWait));
        r.SendFrame("x");  // one data byte: too short
        ASSERT_TRUE(r.Expect(orv::reg::kNak, kWait));
        r.SendFrame("ab", {.lowercaseChecksum = true});
        ASSERT_TRUE(r.Expect(orv::reg::kNak, kWait));
        r.SendFrame("abc", {.badChecksum = true});
        ASSERT_TRUE(r.Expect(orv::reg::kNak, kWait));
        r.SendRaw(
            "\x02"
            "0" +
            std::string(1100, 'a') + "\r");  // longer than the buffer
        ASSERT_TRUE(r.Expect(orv::reg::kNak, kWait));
        r.SendFrame("ab", {.omitStx = true});
        ASSERT_TRUE(r.Expect(orv::reg::kNak, kWait));
        r.SendControl(orv::reg::kEnq);  // after a frame: ignored
        r.SendFrame("good");
    });
    ASSERT_EQ(RsWaitEnq(5000, 0), 0u);
    ASSERT_EQ(RecvRecord(), 0u);
    EXPECT_EQ(Got(), "good");
    JoinRegister();

    // A time-out returns 2 and sends nothing more than the ACK.
    modem().TakeAll();
    EXPECT_EQ(RecvRecord(300), static_cast<std::uint32_t>(LinkNoAnswer));
    EXPECT_EQ(modem().TakeAll(), Bytes("\x06"));
}

TEST_F(SerialProcedures, SelectAndBid) {
    ASSERT_EQ(Ol_Close(), OL_OK);
    ASSERT_EQ(Open(1, "123"), OL_OK);  // a short address is padded with NULs
    std::string address;
    RunRegister([&](SerialRegister& r) { r.AnswerSelection(kWait, true, &address); });
    Cells().sendSequence = 4;
    EXPECT_EQ(RsSelect(Cells().stationAddress, 5000, 0), 0u);
    EXPECT_EQ(Wire(), Bytes(std::string("\x04\x04\x04"
                                        "123\0\0\0\x05",
                                        10)));
    EXPECT_EQ(address, std::string("123\0\0\0", 6));
    EXPECT_EQ(Cells().sendSequence, 0u);

    // Unanswered: the selection once per attempt, then EOT.
    EXPECT_EQ(RsSelect(Cells().stationAddress, 200, 1), static_cast<std::uint32_t>(LinkNoAnswer));
    std::vector<std::uint8_t> sent = modem().TakeAll();
    ASSERT_EQ(sent.size(), 21u);
    EXPECT_EQ(sent.back(), 0x04);

    RunRegister([](SerialRegister& r) { r.AnswerBid(kWait); });
    Cells().sendSequence = 4;
    EXPECT_EQ(RsBid(5000, 0), 0u);
    EXPECT_EQ(Cells().sendSequence, 0u);
    JoinRegister();
    EXPECT_EQ(RsBid(200, 0), static_cast<std::uint32_t>(LinkNoAnswer));
    EXPECT_EQ(modem().TakeAll(), Bytes("\x05\x04"));
}

TEST_F(SerialProcedures, SendRecordsWithNakAndSequence) {
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
    JoinRegister();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].digit, '0');
    EXPECT_EQ(got[1].digit, '0');  // the same frame again
    EXPECT_EQ(got[1].data, "first");
    EXPECT_EQ(got[2].digit, '1');
    EXPECT_EQ(got[2].data, "second");
    EXPECT_EQ(Cells().sendSequence, 2u);
    EXPECT_EQ(modem().Purges(), 1u);
    EXPECT_EQ(modem().Unread(), 0u);

    // The resend waits 100 ms after the NAK.
    auto log = modem().WriteLog();
    std::size_t frame = 10 + 10;  // selection, first frame ("first" + 5)
    ASSERT_GT(log.size(), frame);
    EXPECT_GE(log[frame].atMs - log[frame - 1].atMs, 100u);
}

TEST_F(SerialProcedures, SendRecordEndings) {
    // No answer and no retries: the frame once, then EOT.
    EXPECT_EQ(SendRecord("ab", 200, 0), static_cast<std::uint32_t>(LinkNoAnswer));
    std::string frame = orv::reg::BuildFrame('0', "ab");
    EXPECT_EQ(modem().TakeAll(), Bytes(frame + "\x04"));
    EXPECT_EQ(Cells().sendSequence, 0u);

    RunRegister([](SerialRegister& r) {
        r.ReceiveRecord(kWait, SerialRegister::Reply::Silent);
        r.SendControl(orv::reg::kEot);
    });
    EXPECT_EQ(SendRecord("ab"), static_cast<std::uint32_t>(LinkEot));
    JoinRegister();

    std::uint32_t start = orv::platform::NowMs();
    EXPECT_EQ(RsSendEot(), 0u);
    EXPECT_GE(orv::platform::NowMs() - start, 1000u);
    EXPECT_EQ(modem().TakeAll(), Bytes("\x04"));
}

TEST_F(SerialProcedures, EndWithAck) {
    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kNak);
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kAck);
    });
    EXPECT_EQ(RsEndWithAck(5000, 1), 0u);
    JoinRegister();
    EXPECT_EQ(RsEndWithAck(200, 0), static_cast<std::uint32_t>(LinkNoAnswer));
    EXPECT_EQ(modem().TakeAll(), Bytes("\x04\x04"));
    RunRegister([](SerialRegister& r) {
        ASSERT_TRUE(r.Expect(orv::reg::kEot, kWait));
        r.SendControl(orv::reg::kEot);
    });
    EXPECT_EQ(RsEndWithAck(5000, 0), static_cast<std::uint32_t>(LinkEot));
}

TEST_F(SerialProcedures, SendRecvRecord) {
    Cells().sendSequence = 3;
    auto answer = [](std::string reply, orv::reg::FrameFaults faults) {
        return [reply, faults](SerialRegister& r) {
            r.ReceiveRecord(kWait, SerialRegister::Reply::Silent);
            r.SendFrame(reply, faults);
        };
    };
    // One data byte with any digit is an answer; EOT follows it.
    RunRegister(answer("Z", {.digit = '7'}));
    EXPECT_EQ(SendRecv("echo"), 0u);
    EXPECT_EQ(Got(), "Z");
    JoinRegister();
    ASSERT_TRUE(modem().WaitPending(1, 1000));
    EXPECT_EQ(modem().TakeAll(), Bytes("\x04"));
    EXPECT_EQ(Cells().sendSequence, 3u);     // not advanced
    EXPECT_EQ(reg().received().size(), 9u);  // the frame, digit '3'
    EXPECT_EQ(reg().received()[1], '3');

    // Bad answers: 2, nothing sent after the frame.
    RunRegister(answer("Z", {.badChecksum = true}));
    EXPECT_EQ(SendRecv("echo"), static_cast<std::uint32_t>(LinkNoAnswer));
    RunRegister(answer("toolong", {}));
    EXPECT_EQ(SendRecv("echo", 5000, 3), static_cast<std::uint32_t>(LinkNoAnswer));
    RunRegister([](SerialRegister& r) {
        r.ReceiveRecord(kWait, SerialRegister::Reply::Silent);
        r.SendControl(orv::reg::kEnq);
    });
    Cells().recordSeen = 0;
    EXPECT_EQ(SendRecv("echo"), static_cast<std::uint32_t>(LinkNoAnswer));
    JoinRegister();
    EXPECT_EQ(modem().Pending(), 0u);

    // No answer: EOT, 2.
    EXPECT_EQ(SendRecv("echo", 200), static_cast<std::uint32_t>(LinkNoAnswer));
    std::vector<std::uint8_t> sent = modem().TakeAll();
    EXPECT_EQ(sent.back(), 0x04);
}

// A line that goes down ends the wait, also one without a time limit.
TEST_F(SerialProcedures, LineDownEndsAWait) {
    ASSERT_TRUE(WaitUntil([] { return RsGetTimerCount(TimerDsrWatch) == 1; }));
    std::thread dropper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        modem().SetDsr(false);
    });
    EXPECT_EQ(RsWaitEnq(0, 0), static_cast<std::uint32_t>(orv::DsrLost));
    dropper.join();
}

TEST_F(SerialProcedures, CancelBeforeAProcedure) {
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    EXPECT_EQ(RecvRecord(), kCancelled);
    EXPECT_EQ(SendRecord("ab"), kCancelled);
    EXPECT_EQ(RsEndWithAck(5000, 0), kCancelled);
    EXPECT_EQ(SendRecv("ab"), kCancelled);
    // Each sent only EOT; no ACK, no frame.
    EXPECT_EQ(modem().TakeAll(), Bytes("\x04\x04\x04\x04"));
}

// On a quiet line with a time limit the cancel acts when the wait runs out.
TEST_F(SerialProcedures, CancelOnAQuietLineActsAtTheTimeOut) {
    auto cancelSoon = [] {
        return std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Ol_Cancel(1);
        });
    };
    std::thread canceller = cancelSoon();
    EXPECT_EQ(RsSelect(Cells().stationAddress, 1000, 1), kCancelled);
    canceller.join();
    EXPECT_EQ(modem().TakeAll().size(), 11u);  // the selection, then EOT of the repeat

    Ol_Cancel(0);
    canceller = cancelSoon();
    EXPECT_EQ(SendRecord("ab", 1000, 1), kCancelled);
    canceller.join();
    EXPECT_EQ(modem().TakeAll(), Bytes(orv::reg::BuildFrame('0', "ab") + "\x04"));

    Ol_Cancel(0);
    canceller = cancelSoon();
    EXPECT_EQ(RecvRecord(1000), static_cast<std::uint32_t>(LinkNoAnswer));
    canceller.join();
    EXPECT_EQ(RecvRecord(1000), kCancelled);  // its cancel test, on the next call
}

// Our rule: a wait without a time limit ends on a cancel.
TEST_F(SerialProcedures, CancelEndsWaitsWithoutALimit) {
    const std::pair<const char*, std::function<std::uint32_t()>> waits[] = {
        {"RsWaitEnq", [] { return RsWaitEnq(0, 0); }},
        {"RsRecvRecord", [this] { return RecvRecord(0); }},
        {"RsSelect", [] { return RsSelect(Cells().stationAddress, 0, 0); }},
        {"RsBid", [] { return RsBid(0, 0); }},
        {"RsSendRecord", [this] { return SendRecord("ab", 0, 0); }},
        {"RsEndWithAck", [] { return RsEndWithAck(0, 0); }},
        {"RsSendRecvRecord", [this] { return SendRecv("ab", 0); }},
    };
    for (const auto& [name, wait] : waits) {
        Ol_Cancel(0);
        std::thread canceller([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            Ol_Cancel(1);
        });
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(wait(), kCancelled) << name;
        canceller.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << name;
    }
}

// A register that sends garbage, endless data or nothing never makes a
// procedure overrun its time limit.
TEST_F(SerialProcedures, MisbehavingRegister) {
    std::atomic<bool> stop{false};
    std::atomic<int> mode{0};
    std::thread noise([&] {
        std::mt19937 random(11);
        while (!stop.load()) {
            std::string chunk(32, 'a');  // mode 0: data without CR
            if (mode.load() == 1) {
                for (char& ch : chunk) ch = static_cast<char>(random() % 128);
            }
            modem().Send(chunk.data(), chunk.size());
            modem().TakeAll();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::uint32_t allowed[] = {0, LinkEot, LinkNoAnswer, kCancelled};
    for (int m = 0; m < 2; ++m) {
        mode.store(m);
        const std::function<std::uint32_t()> calls[] = {
            [] { return RsWaitEnq(300, 1); },
            [this] { return RecvRecord(300); },
            [] { return RsSelect(Cells().stationAddress, 300, 1); },
            [this] { return SendRecord("ab", 300, 1); },
            [] { return RsEndWithAck(300, 1); },
            [this] { return SendRecv("ab", 300); },
        };
        for (const auto& call : calls) {
            std::uint32_t start = orv::platform::NowMs();
            std::uint32_t status = call();
            EXPECT_LT(orv::platform::NowMs() - start, 5000u) << m;
            EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), status), std::end(allowed))
                << m << " " << status;
            EXPECT_LE(length_, kRecordDataMax);
        }
    }
    stop.store(true);
    noise.join();
}

}  // namespace
