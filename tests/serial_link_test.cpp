// The serial link below the handshakes, on a virtual null modem and on a pty:
// connecting, the receiver, the sender's line checks, the watches and timers.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using orv::reg::SerialRegister;
using namespace orv::test;

const std::string kStx = "\x02";

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class SerialLink : public SerialTest {
  protected:
    // Feeds input to the library and runs one RsRecvFrame on it.
    std::uint32_t Recv(const std::string& input, std::int32_t ticks = 20) {
        RsPurgeInput();
        modem().Send(input.data(), input.size());
        RsSetTimer(TimerProtocol, ticks);
        return RsRecvFrame(Cells().receiveBuffer, &count_);
    }
    std::uint32_t Send(const std::string& bytes) {
        return RsSendBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::int32_t>(bytes.size()));
    }
    // The line changes since the last call: D, d for DTR on, off; R, r for RTS.
    std::string Changes() {
        std::string changes;
        for (const auto& e : modem().LineEvents()) changes += e.on ? e.line : e.line | 0x20;
        modem().ClearLogs();
        return changes;
    }
    std::int32_t count_ = 0;
};

TEST_F(SerialLink, ConnectInEachLineModeAndClose) {
    for (std::uint32_t mode : {0u, 1u, 2u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(Open(mode), OL_OK);
        EXPECT_EQ(modem().LastBaudCode(), 2);
        EXPECT_EQ(Changes(), mode == 0 ? "D" : "DR");  // switched RTS waits for a send
        EXPECT_EQ(Open(mode), OL_ALREADY_OPEN);
        EXPECT_EQ(Ol_SignalWrite(2), OL_OK);
        EXPECT_EQ(RsRtsRaised(), 1);
        EXPECT_EQ(Ol_SignalWrite(1), OL_OK);
        EXPECT_EQ(RsRtsRaised(), mode == 2 ? 1 : 0);  // unwatched lines read as raised
        EXPECT_EQ(Changes(), "dRDr");                 // DTR first, then RTS
        // The close drops the lines and the port and leaves the supervisor running.
        EXPECT_EQ(Ol_Close(), OL_OK);
        EXPECT_EQ(Changes(), "rd");
        EXPECT_FALSE(modem().IsOpen());
        EXPECT_EQ(RsGetLineStatus(), orv::LineDown);
        EXPECT_EQ(RsRtsRaised(), 0);  // lines watched again
        EXPECT_TRUE(SupervisorRunning());
        RsSetTimer(TimerProtocol, 1);  // its timers stand still without a port
        Sleep(50);
        EXPECT_EQ(RsGetTimerCount(TimerProtocol), 1);
    }
    Ol_End();
    EXPECT_FALSE(SupervisorRunning());
}

TEST_F(SerialLink, FailedOpens) {
    EXPECT_EQ(Open(1, "1", 250), OL_NO_LINK);  // no such port: serial started, nothing open
    EXPECT_TRUE(orv::HasState(orv::StateSerialStarted));
    SerialOpenRecord badBaud{const_cast<char*>("1"), kPort, 7, 1};
    EXPECT_EQ(Ol_Open_RS(&badBaud), OL_NO_LINK);
    EXPECT_EQ(modem().Opens(), 0u);
    // A port that opens but cannot be set up is closed again.
    for (std::uint32_t status : {71u, 72u}) {
        modem().SetOpenBehaviour({status, true});
        EXPECT_EQ(Open(1), OL_NO_LINK);
        EXPECT_FALSE(modem().IsOpen() || orv::HasState(orv::StateSerialStarted));
    }
    modem().SetOpenBehaviour({71, false});
    EXPECT_EQ(Open(1), OL_NO_LINK);
    EXPECT_TRUE(orv::HasState(orv::StateSerialStarted));
    modem().SetOpenBehaviour({});
    // No supervisor thread: 55, and the next open tries again.
    Ol_End();
    Ol_Initialize();
    orv::serial::testing::FailNextSupervisorStart();
    EXPECT_EQ(Open(1), OL_START_FAILED);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
    EXPECT_EQ(Open(1), OL_OK);
}

TEST_F(SerialLink, ConnectWaitsForDsrAndHonoursCancel) {
    orv::platform::SetTimeScale(100);
    modem().SetDsr(false);
    ASSERT_EQ(Ol_Cancel(1), OL_OK);  // left from before the open, which clears it
    std::uint32_t took = Timed([&] { EXPECT_EQ(Open(1), OL_NO_LINK); });
    EXPECT_GE(took, 2000u + 30000u);  // two 1 s pauses, then 300 ticks
    EXPECT_LT(took, 2000u + 150000u);
    EXPECT_FALSE(modem().Dtr() || modem().IsOpen());
    EXPECT_EQ(orv::Core().openLink.load(), orv::LinkNone);
    // A cancel during the DSR wait ends it with the cancel value.
    ASSERT_EQ(StartSerialSupervisor(), 0);
    std::thread canceller = CancelAfter(100);
    took = Timed([&] { EXPECT_EQ(RsConnect(1, 2, kPort), orv::CancelRequested); });
    canceller.join();
    EXPECT_LT(took, 2000u + 30000u);
    EXPECT_EQ(RsGetLineStatus(), orv::LineDown);
    EXPECT_FALSE(modem().Dtr());
}

TEST_F(SerialLink, Receiver) {
    ASSERT_EQ(Open(1), OL_OK);
    // Input, result, count, STX seen, receive-buffer byte 1 afterwards.
    const std::tuple<std::string, std::uint32_t, std::int32_t, std::uint32_t, std::uint8_t>
        cases[] = {
            {"xy" + kStx + "0abAA\r", RxCr, 7, 1, '0'},      // what came before STX is overwritten
            {kStx + "0a" + kStx + "1b\r", RxCr, 4, 1, '1'},  // a second STX restarts
            {"abc\r", RxCr, 4, 0, 'b'},
            {kStx + "0a\x05", RxEnq, 4, 1, '0'},
            {kStx + "2a\x04", RxEot, 0, 1, '2'},
            {"\x06", RxAck, 0, 0, '2'},
            {"zz\x15", RxNak, 0, 0, 'z'},
            {kStx + "3abc", RxTimeout, 0, 1, '3'},
        };
    for (const auto& [input, result, count, stxSeen, second] : cases) {
        EXPECT_EQ(Recv(input, 3), result) << input;
        EXPECT_EQ(
            std::make_tuple(count_, Cells().stxSeen, Cells().frameError, Cells().receiveBuffer[1]),
            std::make_tuple(count, stxSeen, 0u, second))
            << input;
    }
    // More than 1005 bytes: the store stops at 1005 and the frame is bad.
    EXPECT_EQ(Recv(kStx + "0" + std::string(1100, 'a') + "\r"), RxCr);
    EXPECT_EQ(count_, 1005);
    EXPECT_EQ(Cells().frameError, 1u);
    // An expired timer, or a line that went down, ends it before anything is read.
    RsPurgeInput();
    modem().Send("\x06", 1);
    RsSetTimeOutFlag(TimerProtocol, 1);
    EXPECT_EQ(RsRecvFrame(Cells().receiveBuffer, &count_), RxTimeout);
    EXPECT_EQ(modem().Unread(), 1u);
    RsSetLineStatus(orv::CarrierLost);
    EXPECT_EQ(Recv("\x06"), orv::CarrierLost);
    RsSetLineStatus(0);
    RsPurgeInput();

    // A failed read inside a frame counts as a 0 byte and spoils the frame.
    RsSetTimer(TimerProtocol, 100);
    std::uint32_t result = 0;
    std::thread receiver([&] { result = RsRecvFrame(Cells().receiveBuffer, &count_); });
    modem().Send((kStx + "0ab").data(), 4);
    EXPECT_TRUE(WaitUntil([&] { return modem().Unread() == 0; }));
    modem().FailReads(1);
    Sleep(20);
    modem().Send("c\r", 2);
    receiver.join();
    EXPECT_EQ(result, RxCr);
    EXPECT_EQ(Cells().receiveBuffer[4], 0x00);
    EXPECT_EQ(Cells().frameError, 1u);

    // A cancel ends a receive at once: on a quiet line, with a time limit or
    // without, after a byte, or with DSR off.
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    for (std::int32_t ticks : {50, 0}) {
        EXPECT_LT(Timed([&] { EXPECT_EQ(Recv("", ticks), orv::CancelRequested); }), 1000u);
    }
    EXPECT_EQ(Recv("x", 50), orv::CancelRequested);
    StopSerialSupervisor();  // keep the DSR watch out of it
    modem().SetDsr(false);
    EXPECT_EQ(Recv("", 50), orv::CancelRequested);
}

// Switched RTS turns the line around for each send: RTS rises before the
// first byte and drops 100 ms after the last has left, and the answer's time
// limit counts from then.
TEST_F(SerialLink, SwitchedRtsTurnsTheLineAround) {
    ASSERT_EQ(Open(0), OL_OK);
    modem().SetCarrier(false);
    modem().ClearLogs();
    EXPECT_EQ(Send(""), 0u);  // a count of 0 turns it around too
    EXPECT_EQ(Changes(), "Rr");
    // Carrier that stays on: 0x400 after 50 ticks, RTS never raised.
    modem().SetCarrier(true);
    EXPECT_GE(Timed([&] { EXPECT_EQ(Send("abc"), orv::CarrierBusy); }), 5000u);
    EXPECT_EQ(Changes(), "");
    // CTS that never comes: 0x500, RTS raised and dropped again.
    modem().SetCarrier(false);
    modem().SetCts(false);
    EXPECT_EQ(Send("abc"), orv::CtsTimeout);
    EXPECT_EQ(Changes(), "Rr");
    EXPECT_EQ(modem().Pending(), 0u);

    modem().SetCts(true);
    orv::platform::SetTimeScale(10);
    modem().SetTransmitPace(200);  // the 25-byte frame takes 5 s
    RunRegister([](orv::reg::SerialRegister& r) { r.ReceiveRecord(kWait); });
    EXPECT_EQ(SendRecord(std::string(20, 'a'), 3000, 0), 0u);
    JoinBackground();
    auto log = modem().WriteLog();
    auto events = modem().LineEvents();
    ASSERT_EQ(log.size(), 25u);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].written == 0 && !events[1].on);
    EXPECT_GE(events[1].atMs - log.back().leftMs, 100u);

    // A register that drops CTS mid-frame gets no more of it.
    modem().TakeAll();
    std::thread dropper([this] {
        WaitUntil([this] { return modem().Pending() >= 3; });
        modem().SetCts(false);
    });
    EXPECT_EQ(Send(std::string(20, 'b')), orv::CtsTimeout);
    dropper.join();
    EXPECT_LE(modem().WriteLog().size(), 25u + 5u);
}

TEST_F(SerialLink, RtsHeldSenderChecks) {
    ASSERT_EQ(Open(1), OL_OK);
    modem().SetCts(false);  // the CTS time-out leaves RTS held
    EXPECT_EQ(Send("ab"), orv::CtsTimeout);
    EXPECT_TRUE(modem().Rts());
    modem().SetCts(true);
    // A failed write returns the system's code; writes that take nothing are
    // retried, a bounded number of times.
    modem().FailWrites(1117);
    EXPECT_EQ(Send("ab"), 1117u);
    modem().FailWrites(0);
    modem().StallWrites(5);
    EXPECT_EQ(Send("ab"), 0u);
    EXPECT_EQ(modem().TakeAll(), Text("ab"));
    // A byte not taken, or taken and never gone, is waited for 300 times
    // 100 ms; a cancel is looked at between the waits.
    for (bool cancel : {false, true}) {
        Ol_Cancel(cancel ? 1 : 0);
        const std::uint32_t expected =
            cancel ? orv::CancelRequested : orv::platform::kErrorWriteFault;
        modem().StallWrites(100000);
        EXPECT_EQ(Send("ab"), expected);
        modem().StallWrites(0);
        modem().HoldOutput(true);
        std::uint32_t took = Timed([&] { EXPECT_EQ(Send("ab"), expected); });
        EXPECT_GE(took, cancel ? 0u : 300u * 100u);
        modem().HoldOutput(false);
    }
    EXPECT_EQ(modem().TakeAll(), Text("aa"));  // a byte held is not written again
}

TEST_F(SerialLink, DsrLostEndsTheLinkAndIsTraced) {
    const std::string path = TempPath("serial.log");
    setenv("ORV_LIB_TRACE", path.c_str(), 1);
    Ol_Initialize();  // starts afresh with the trace on
    unsetenv("ORV_LIB_TRACE");
    ASSERT_EQ(Open(1), OL_OK);
    EXPECT_EQ(Send("ab"), 0u);
    EXPECT_EQ(Recv(kStx + "0x\x06"), RxAck);
    // The DSR watch is armed by the first tick that sees DSR on.
    ASSERT_TRUE(WaitUntil([] { return RsGetTimerCount(TimerDsrWatch) == 1; }));
    modem().SetDsr(false);
    ASSERT_TRUE(WaitUntil([] { return RsGetLineStatus() != 0; }));
    EXPECT_EQ(RsGetLineStatus(), orv::DsrLost);
    EXPECT_FALSE(modem().Dtr());
    EXPECT_EQ(Send("a"), orv::DsrLost);
    // A link that is down is not watched any more.
    modem().SetDsr(true);
    RsRaiseDtr();
    RsSetLineStatus(orv::LineDown);
    modem().SetDsr(false);
    Sleep(100);
    EXPECT_EQ(RsGetLineStatus(), orv::LineDown);
    EXPECT_TRUE(modem().Dtr());

    Ol_End();
    const std::string all = Slurp(path);
    for (const char* line :
         {"serial DTR on", "serial RTS on", "serial send 2 bytes: \"ab\"",
          "serial recv ACK 4 bytes: STX \"0x\" ACK", "serial line DSR off",
          "serial line status 0x0 -> 0x200", "serial DTR off", "serial port closed"}) {
        EXPECT_NE(all.find(line), std::string::npos) << line << "\n" << all;
    }
}

TEST_F(SerialLink, CarrierWatchCountsOnlyWhileRtsIsNotRaised) {
    orv::platform::SetTimeScale(100);
    ASSERT_EQ(Open(1), OL_OK);  // RTS held: carrier off is not counted at all
    modem().SetCarrier(false);
    std::uint32_t start = orv::platform::NowMs();
    ASSERT_TRUE(WaitUntil([&] { return orv::platform::NowMs() - start > 10000; }));
    EXPECT_EQ(RsGetTimerCount(TimerCarrierWatch), 300);
    ASSERT_EQ(Ol_Close(), OL_OK);
    // Switched RTS: 300 ticks of carrier off end it.
    modem().SetCarrier(true);
    ASSERT_EQ(Open(0), OL_OK);
    start = orv::platform::NowMs();
    modem().SetCarrier(false);
    ASSERT_TRUE(WaitUntil([] { return RsGetLineStatus() != 0; }));
    EXPECT_GE(orv::platform::NowMs() - start, 299u * 100u);
    EXPECT_EQ(RsGetLineStatus(), orv::CarrierLost);
    EXPECT_FALSE(modem().Dtr());
}

// A tick that comes while a timer is being armed waits for the arm, then
// counts the new arm: a 1-tick arm expires on that tick, never at once and
// never not at all.
std::atomic<bool> g_tickDone{false};
std::atomic<bool> g_tickDoneDuringArm{false};
std::thread g_racingTick;

void TickDuringArm(std::int32_t index) {
    if (index != TimerProtocol) return;
    orv::serial::testing::SetArmHook(nullptr);
    g_racingTick = std::thread([] {
        RsTick();
        g_tickDone.store(true);
    });
    Sleep(30);
    // Looked at while the arm still holds the timer: once the arm returns, the
    // tick may finish at any moment.
    g_tickDoneDuringArm.store(g_tickDone.load());
}

TEST_F(SerialLink, OneTickArmRacingATick) {
    ASSERT_EQ(Open(1), OL_OK);
    StopSerialSupervisor();  // the test makes the ticks
    RsSetTimer(TimerProtocol, 1);
    g_tickDone.store(false);
    orv::serial::testing::SetArmHook(TickDuringArm);
    RsSetTimer(TimerProtocol, 1);
    EXPECT_FALSE(g_tickDoneDuringArm.load());  // held off by the arm
    g_racingTick.join();
    EXPECT_EQ(RsTimerRunning(TimerProtocol), 0);
    EXPECT_EQ(RsGetTimerCount(TimerProtocol), 0);
}

// The termios port on a real pty, which has no modem lines: it fails the
// modem-status query, so with the lines watched DSR never comes and the port
// is closed again; in line mode 2 it opens at once and carries bytes both ways
// (every printable character, a record of full size, each control byte). A
// device that is no terminal is refused.
TEST_F(SerialLink, RealPtyInLineModeTwo) {
    std::unique_ptr<orv::reg::FdLine> line = PtyAtCom9();
    ASSERT_NE(line, nullptr);
    orv::platform::SetTimeScale(100);
    EXPECT_EQ(Open(1, "000001", 9), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
    orv::platform::SetTimeScale(50);
    ASSERT_EQ(Open(2, "000001", 9), OL_OK);
    std::string text;
    for (char ch = 0x20; ch < 0x7F; ++ch) text += ch;
    const std::vector<std::string> records = {text, std::string(kRecordDataMax, 'Q')};
    SerialRegister reg(*line, "000001");
    std::vector<std::string> got;
    RunRegister(
        [&](SerialRegister& r) {
            if (!r.AnswerSelection(kWait)) return;
            r.ReceiveRecord(kWait, SerialRegister::Reply::Nak);
            for (int i = 0; i < 3; ++i) got.push_back(r.ReceiveRecord(kWait).data);  // EOT: ""
            r.ServeRecords(records, kWait);
        },
        &reg);
    EXPECT_EQ(RsSelect(Cells().stationAddress, 5000, 0), 0u);
    for (const std::string& record : records) EXPECT_EQ(SendRecord(record, 5000, 1), 0u);
    EXPECT_EQ(RsSendEot(), 0u);
    EXPECT_EQ(RsWaitEnq(5000, 0), 0u);
    for (const std::string& record : records) {
        ASSERT_EQ(RecvRecord(), 0u);
        EXPECT_EQ(Got(), record);
    }
    EXPECT_EQ(RecvRecord(), orv::LinkEot);
    JoinBackground();
    EXPECT_EQ(got, (std::vector<std::string>{text, records[1], ""}));
    EXPECT_EQ(Ol_Close(), OL_OK);
    setenv("ORV_LIB_COM9", "/dev/null", 1);
    EXPECT_EQ(Open(2, "000001", 9), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
}

// The record frame as built and the millisecond-to-tick arithmetic.
std::string Built(const std::string& data, std::uint32_t sequence) {
    std::int32_t size = RsBuildFrame(reinterpret_cast<const std::uint8_t*>(data.data()),
                                     static_cast<std::int32_t>(data.size()), sequence);
    return std::string(reinterpret_cast<const char*>(Cells().sendBuffer),
                       static_cast<std::size_t>(size));
}

TEST(SerialCodec, WorkedExamples) {
    EXPECT_EQ(Built("abc", 0), kStx + "0abcAA\r");
    EXPECT_EQ(Built(std::string("ab\rcd", 5), 0), Built("ab", 0));  // framed up to the CR
    EXPECT_EQ(Built("", 9), kStx + "9C7\r");                        // (0 - 0x39) mod 256
    EXPECT_EQ(Built(std::string(1200, 'x'), 1).size(), 1008u);      // at most 1003 data bytes
}

TEST(SerialTicks, MillisecondsToTicksAndDueTimes) {
    // A limit whose tick count does not fit 32-bit signed arithmetic is no limit.
    const std::uint32_t ms[] = {0,           1,           100,         101,        30000,
                                0x7FFFFF9Cu, 0x7FFFFF9Du, 0x80000000u, 0xFFFFFFFFu};
    const std::int32_t ticks[] = {0, 1, 1, 2, 300, 21474836, 0, 0, 0};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(MsToTicks(ms[i]), ticks[i]) << ms[i];

    // The clock must pass the due time, also across the wrap; a due time
    // long past (or from a past epoch) is due.
    const std::uint32_t due[][3] = {
        {100, 100, 0},          {101, 100, 1},         {50, 100, 0},         {5, 0xFFFFFFF0u, 1},
        {0xFFFFFFF0u, 0x10, 0}, {3000000000u, 100, 1}, {100, 3000000000u, 1}};
    for (const auto& [now, at, expected] : due) EXPECT_EQ(TickDue(now, at), expected != 0) << now;
}

}  // namespace
