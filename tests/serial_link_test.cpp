// The serial link below the handshakes, on a virtual null modem: opening and
// connecting through Ol_Open_RS, the receiver's classes and limits, the
// sender's line checks, the supervisor's watches and the tick timers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "api/library.h"
#include "api/result_codes.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "serial/frame.h"
#include "serial/lines.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"
#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using orv::Core;
using orv::test::Bytes;
using orv::testing::VirtualModem;

class SerialLink : public orv::test::SerialTest {
  protected:
    struct Rx {
        std::uint32_t result;
        std::int32_t count;
        std::uint32_t stxSeen;
        std::uint32_t frameError;
    };
    // Feeds input to the library and runs one RsRecvFrame on it.
    Rx Recv(const std::string& input, std::int32_t ticks = 20) {
        RsPurgeInput();
        modem().Send(input.data(), input.size());
        RsSetTimer(TimerProtocol, ticks);
        Rx rx{};
        rx.result = RsRecvFrame(Cells().receiveBuffer, &rx.count);
        rx.stxSeen = Cells().stxSeen;
        rx.frameError = Cells().frameError;
        return rx;
    }
    std::uint32_t Send(const std::string& bytes) {
        return RsSendBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::int32_t>(bytes.size()));
    }
    // Protocol milliseconds that fn takes.
    template <typename Fn>
    static std::uint32_t Timed(Fn fn) {
        std::uint32_t start = orv::platform::NowMs();
        fn();
        return orv::platform::NowMs() - start;
    }
    static bool HasLineEvent(const std::vector<VirtualModem::LineEvent>& events, char line,
                             bool on) {
        for (const auto& e : events) {
            if (e.line == line && e.on == on) return true;
        }
        return false;
    }
};

TEST_F(SerialLink, ConnectInEachLineMode) {
    struct Case {
        std::uint32_t mode;
        bool rtsRaised;
        std::uint32_t switched;
        std::uint32_t notWatched;
    };
    for (const Case& c : {Case{0, false, 1, 0}, Case{1, true, 0, 0}, Case{2, true, 0, 1}}) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(Open(c.mode), OL_OK);
        EXPECT_EQ(Core().openLink.load(), orv::LinkSerial);
        EXPECT_TRUE(modem().IsOpen());
        EXPECT_EQ(modem().LastBaudCode(), 2);
        EXPECT_TRUE(modem().Dtr());
        EXPECT_EQ(modem().Rts(), c.rtsRaised);
        EXPECT_EQ(RsRtsRaised(), c.rtsRaised ? 1 : 0);
        EXPECT_EQ(Cells().switchedRts, c.switched);
        EXPECT_EQ(Cells().linesNotWatched.load(), c.notWatched);
        EXPECT_EQ(Cells().record.lineMode, c.mode == 2 ? 1u : c.mode);
        EXPECT_EQ(RsGetLineStatus(), 0u);
        EXPECT_EQ(Open(c.mode), OL_ALREADY_OPEN);

        // Ol_SignalWrite drives DTR, then RTS, and records the RTS state.
        modem().ClearLogs();
        EXPECT_EQ(Ol_SignalWrite(2), OL_OK);
        auto events = modem().LineEvents();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_TRUE(events[0].line == 'D' && !events[0].on && events[1].line == 'R' &&
                    events[1].on);
        EXPECT_EQ(RsRtsRaised(), 1);
        EXPECT_EQ(Ol_SignalWrite(1), OL_OK);
        EXPECT_EQ(RsRtsRaised(), c.notWatched);

        // The close drops the lines and the port, and leaves the supervisor running.
        EXPECT_EQ(Ol_Close(), OL_OK);
        EXPECT_FALSE(modem().IsOpen());
        EXPECT_FALSE(modem().Dtr());
        EXPECT_EQ(RsGetLineStatus(), static_cast<std::uint32_t>(orv::LineDown));
        EXPECT_EQ(Cells().linesNotWatched.load(), 0u);
        EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
        EXPECT_TRUE(SupervisorRunning());
    }
    Ol_End();
    EXPECT_FALSE(SupervisorRunning());
}

TEST_F(SerialLink, FailedOpens) {
    // The port that does not exist: serial started, nothing open.
    SerialOpenRecord missing{const_cast<char*>("1"), 250, 2, 1};
    EXPECT_EQ(Ol_Open_RS(&missing), OL_NO_LINK);
    EXPECT_TRUE(orv::HasState(orv::StateSerialStarted));
    NetworkOpenRecord network{};
    EXPECT_EQ(Ol_Open_MWS(&network), OL_BAD_STATE);

    SerialOpenRecord badBaud{const_cast<char*>("1"), kPort, 7, 1};
    EXPECT_EQ(Ol_Open_RS(&badBaud), OL_NO_LINK);
    EXPECT_EQ(modem().Opens(), 0u);

    // A port that opens but cannot be set up is closed again.
    for (std::uint32_t status : {71u, 72u}) {
        modem().SetOpenBehaviour({status, true});
        EXPECT_EQ(Open(1), OL_NO_LINK);
        EXPECT_FALSE(modem().IsOpen());
        EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
    }
    modem().SetOpenBehaviour({71, false});
    EXPECT_EQ(Open(1), OL_NO_LINK);
    EXPECT_TRUE(orv::HasState(orv::StateSerialStarted));
    modem().SetOpenBehaviour({});

    // No supervisor thread: 55.
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
    // A cancel left from before the open is cleared by it.
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    std::uint32_t took = Timed([&] { EXPECT_EQ(Open(1), OL_NO_LINK); });
    EXPECT_GE(took, 2000u + 30000u);  // two 1 s pauses, then 300 ticks
    EXPECT_LT(took, 2000u + 150000u);
    EXPECT_FALSE(modem().Dtr());
    EXPECT_FALSE(modem().IsOpen());
    EXPECT_EQ(Core().openLink.load(), orv::LinkNone);

    // A cancel during the DSR wait ends it with the cancel value.
    ASSERT_EQ(StartSerialSupervisor(), 0);
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Ol_Cancel(1);
    });
    took = Timed([&] { EXPECT_EQ(RsConnect(1, 2, kPort), orv::CancelRequested); });
    canceller.join();
    EXPECT_LT(took, 2000u + 30000u);
    EXPECT_EQ(RsGetLineStatus(), static_cast<std::uint32_t>(orv::LineDown));
    EXPECT_FALSE(modem().Dtr());
    EXPECT_TRUE(modem().IsOpen());  // the caller closes it
}

TEST_F(SerialLink, ReceiverClasses) {
    ASSERT_EQ(Open(1), OL_OK);
    struct Case {
        const char* name;
        std::string input;
        std::uint32_t result;
        std::int32_t count;
        std::uint32_t stxSeen;
        std::uint8_t second;  // receive-buffer byte 1 afterwards
    };
    const Case cases[] = {
        {"garbage before STX is overwritten",
         "xy\x02"
         "0abAA\r",
         RxCr, 7, 1, '0'},
        {"a second STX restarts",
         "\x02"
         "0a\x02"
         "1b\r",
         RxCr, 4, 1, '1'},
        {"CR without STX", "abc\r", RxCr, 4, 0, 'b'},
        {"ENQ inside a frame",
         "\x02"
         "0a\x05",
         RxEnq, 4, 1, '0'},
        {"EOT",
         "\x02"
         "2a\x04",
         RxEot, 0, 1, '2'},
        {"ACK", "\x06", RxAck, 0, 0, '2'},
        {"NAK", "zz\x15", RxNak, 0, 0, 'z'},
        {"nothing decisive",
         "\x02"
         "3abc",
         RxTimeout, 0, 1, '3'},
    };
    for (const Case& c : cases) {
        Rx rx = Recv(c.input, 3);
        EXPECT_EQ(rx.result, c.result) << c.name;
        EXPECT_EQ(rx.count, c.count) << c.name;
        EXPECT_EQ(rx.stxSeen, c.stxSeen) << c.name;
        EXPECT_EQ(rx.frameError, 0u) << c.name;
        EXPECT_EQ(Cells().receiveBuffer[1], c.second) << c.name;
    }

    // More than 1005 bytes: the store stops at 1005 and the frame is bad.
    Rx rx = Recv(
        "\x02"
        "0" +
        std::string(1100, 'a') + "\r");
    EXPECT_EQ(rx.result, RxCr);
    EXPECT_EQ(rx.count, 1005);
    EXPECT_EQ(rx.frameError, 1u);
    EXPECT_FALSE(RsFrameAccepted(rx.count, 7));

    // An expired timer ends the receive before anything is read.
    RsPurgeInput();
    modem().Send("\x06", 1);
    RsSetTimeOutFlag(TimerProtocol, 1);
    std::int32_t count = 0;
    EXPECT_EQ(RsRecvFrame(Cells().receiveBuffer, &count), RxTimeout);
    EXPECT_EQ(modem().Unread(), 1u);

    // A line that went down is reported before anything is read.
    RsSetLineStatus(orv::CarrierLost);
    EXPECT_EQ(Recv("\x06").result, static_cast<std::uint32_t>(orv::CarrierLost));
}

TEST_F(SerialLink, FailedReadSpoilsTheFrame) {
    ASSERT_EQ(Open(1), OL_OK);
    RsSetTimer(TimerProtocol, 100);
    Rx rx{};
    std::thread receiver([&] { rx.result = RsRecvFrame(Cells().receiveBuffer, &rx.count); });
    modem().Send(
        "\x02"
        "0ab",
        4);
    ASSERT_TRUE(WaitUntil([&] { return modem().Unread() == 0; }));
    modem().FailReads(1);
    ASSERT_TRUE(WaitUntil([&] { return modem().Unread() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    modem().Send("c\r", 2);
    receiver.join();
    EXPECT_EQ(rx.result, RxCr);
    EXPECT_EQ(Cells().frameError, 1u);
    EXPECT_EQ(Cells().receiveBuffer[4], 0x00);  // the failed read counts as a 0 byte
    EXPECT_FALSE(RsFrameAccepted(rx.count, 6));
}

// On a quiet line a cancel waits for the time-out; a byte, DSR off or a wait
// without a time limit let it through at once.
TEST_F(SerialLink, ReceiverAndCancel) {
    ASSERT_EQ(Open(1), OL_OK);
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    std::uint32_t took = Timed([&] { EXPECT_EQ(Recv("", 5).result, RxTimeout); });
    EXPECT_GE(took, 400u);
    EXPECT_EQ(Recv("x", 50).result, static_cast<std::uint32_t>(orv::CancelRequested));
    took = Timed([&] { EXPECT_EQ(Recv("", 0).result, orv::CancelRequested); });
    EXPECT_LT(took, 1000u);

    StopSerialSupervisor();  // keep the DSR watch out of it
    modem().SetDsr(false);
    EXPECT_EQ(Recv("", 50).result, static_cast<std::uint32_t>(orv::CancelRequested));
}

TEST_F(SerialLink, SwitchedRtsTurnsTheLineAround) {
    ASSERT_EQ(Open(0), OL_OK);
    modem().SetCarrier(false);
    modem().ClearLogs();
    EXPECT_EQ(Send("abc"), 0u);
    EXPECT_EQ(modem().TakeAll(), Bytes("abc"));
    auto events = modem().LineEvents();
    auto log = modem().WriteLog();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].line == 'R' && events[0].on && events[0].written == 0);
    EXPECT_TRUE(events[1].line == 'R' && !events[1].on && events[1].written == 3);
    EXPECT_GE(events[1].atMs - log.back().atMs, 100u);
    EXPECT_EQ(RsRtsRaised(), 0);

    // A count of 0 still raises and drops RTS.
    modem().ClearLogs();
    EXPECT_EQ(Send(""), 0u);
    EXPECT_EQ(modem().LineEvents().size(), 2u);

    // Carrier that stays on: 0x400 after 50 ticks, RTS never raised.
    modem().SetCarrier(true);
    modem().ClearLogs();
    std::uint32_t took = Timed([&] { EXPECT_EQ(Send("abc"), orv::CarrierBusy); });
    EXPECT_GE(took, 5000u);
    EXPECT_TRUE(modem().LineEvents().empty());
    EXPECT_EQ(modem().Pending(), 0u);

    // CTS that never comes: 0x500, RTS raised and dropped again.
    modem().SetCarrier(false);
    modem().SetCts(false);
    modem().ClearLogs();
    EXPECT_EQ(Send("abc"), static_cast<std::uint32_t>(orv::CtsTimeout));
    events = modem().LineEvents();
    EXPECT_TRUE(HasLineEvent(events, 'R', true));
    EXPECT_FALSE(modem().Rts());
    EXPECT_EQ(modem().Pending(), 0u);
}

TEST_F(SerialLink, RtsHeldSenderChecks) {
    ASSERT_EQ(Open(1), OL_OK);
    // Carrier is needed for every byte: 0x200 after 50 ticks.
    modem().SetCarrier(false);
    EXPECT_EQ(Send("ab"), static_cast<std::uint32_t>(orv::DsrLost));
    modem().SetCarrier(true);
    // CTS time-out leaves RTS held.
    modem().SetCts(false);
    EXPECT_EQ(Send("ab"), static_cast<std::uint32_t>(orv::CtsTimeout));
    EXPECT_TRUE(modem().Rts());
    modem().SetCts(true);

    // A failed write returns the system's code; writes that take nothing are
    // retried, a bounded number of times.
    modem().FailWrites(1117);
    EXPECT_EQ(Send("ab"), 1117u);
    modem().FailWrites(0);
    modem().StallWrites(5);
    EXPECT_EQ(Send("ab"), 0u);
    EXPECT_EQ(modem().TakeAll(), Bytes("ab"));
    modem().StallWrites(100000);
    EXPECT_EQ(Send("ab"), orv::platform::kErrorWriteFault);
    modem().StallWrites(0);

    // A cancel stops the send after the first byte; a line down before it.
    ASSERT_EQ(Ol_Cancel(1), OL_OK);
    EXPECT_EQ(Send("abc"), static_cast<std::uint32_t>(orv::CancelRequested));
    EXPECT_EQ(modem().TakeAll(), Bytes("a"));
    ASSERT_EQ(Ol_Cancel(0), OL_OK);
    RsSetLineStatus(orv::LineDown);
    EXPECT_EQ(Send("abc"), static_cast<std::uint32_t>(orv::LineDown));
    EXPECT_EQ(modem().Pending(), 0u);
}

TEST_F(SerialLink, LinesNotWatched) {
    modem().SetAllLines(false);
    ASSERT_EQ(Open(2), OL_OK);
    EXPECT_EQ(Send("ok"), 0u);
    EXPECT_EQ(modem().TakeAll(), Bytes("ok"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // many ticks
    EXPECT_EQ(RsGetLineStatus(), 0u);
    EXPECT_EQ(modem().StatusQueries(), 0u);
    EXPECT_TRUE(modem().Dtr());
}

TEST_F(SerialLink, SupervisorEndsTheLinkWhenDsrDrops) {
    ASSERT_EQ(Open(1), OL_OK);
    // The DSR watch is armed by the first tick that sees DSR on.
    ASSERT_TRUE(WaitUntil([] { return RsGetTimerCount(TimerDsrWatch) == 1; }));
    modem().SetDsr(false);
    ASSERT_TRUE(WaitUntil([] { return RsGetLineStatus() != 0; }));
    EXPECT_EQ(RsGetLineStatus(), static_cast<std::uint32_t>(orv::DsrLost));
    EXPECT_FALSE(modem().Dtr());
    EXPECT_EQ(Send("a"), static_cast<std::uint32_t>(orv::DsrLost));

    // A link that is down is not watched any more.
    modem().SetDsr(true);
    RsRaiseDtr();
    RsSetLineStatus(orv::LineDown);
    modem().SetDsr(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(RsGetLineStatus(), static_cast<std::uint32_t>(orv::LineDown));
    EXPECT_TRUE(modem().Dtr());
}

TEST_F(SerialLink, CarrierWatchCountsOnlyWhileRtsIsNotRaised) {
    orv::platform::SetTimeScale(100);
    // RTS held: carrier off never ends the link.
    ASSERT_EQ(Open(1), OL_OK);
    modem().SetCarrier(false);
    std::uint32_t start = orv::platform::NowMs();
    ASSERT_TRUE(WaitUntil([&] { return orv::platform::NowMs() - start > 40000; }));
    EXPECT_EQ(RsGetLineStatus(), 0u);
    ASSERT_EQ(Ol_Close(), OL_OK);

    // Switched RTS: 300 ticks of carrier off end it.
    modem().SetCarrier(true);
    ASSERT_EQ(Open(0), OL_OK);
    start = orv::platform::NowMs();
    modem().SetCarrier(false);
    ASSERT_TRUE(WaitUntil([] { return RsGetLineStatus() != 0; }));
    std::uint32_t took = orv::platform::NowMs() - start;
    EXPECT_EQ(RsGetLineStatus(), static_cast<std::uint32_t>(orv::CarrierLost));
    EXPECT_GE(took, 299u * 100u);
    EXPECT_FALSE(modem().Dtr());
}

TEST_F(SerialLink, TraceShowsBytesAndLineChanges) {
    std::string path = TempPath("serial.log");
    setenv("ORV_LIB_TRACE", path.c_str(), 1);
    Ol_Initialize();  // starts afresh with the trace on
    unsetenv("ORV_LIB_TRACE");
    ASSERT_EQ(Open(1), OL_OK);
    EXPECT_EQ(Send("ab"), 0u);
    EXPECT_EQ(Recv("\x02"
                   "0x\x06")
                  .result,
              RxAck);
    ASSERT_TRUE(WaitUntil([] { return RsGetTimerCount(TimerDsrWatch) == 1; }));
    modem().SetDsr(false);
    ASSERT_TRUE(WaitUntil([] { return RsGetLineStatus() != 0; }));
    Ol_End();

    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* line :
         {"serial DTR on", "serial RTS on", "serial send 2 bytes: 61 62",
          "serial recv ACK 4 bytes: 02 30 78 06", "serial line DSR off",
          "serial line status 0x0 -> 0x200", "serial DTR off", "serial port closed"}) {
        EXPECT_NE(all.find(line), std::string::npos) << line << "\n" << all;
    }
}

TEST_F(SerialLink, TimerOperations) {
    ASSERT_EQ(Open(1), OL_OK);
    RsSetTimer(TimerProtocol, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(RsTimerRunning(TimerProtocol), 1);  // 0 ticks never expire

    RsSetTimer(TimerProtocol, 3);
    ASSERT_TRUE(WaitUntil([] { return RsTimerRunning(TimerProtocol) == 0; }));
    RsSetTimer(TimerProtocol, 200);  // arming again restarts it
    EXPECT_EQ(RsTimerRunning(TimerProtocol), 1);
    EXPECT_GE(RsGetTimerCount(TimerProtocol), 199);

    // With no port open the protocol timer stands still.
    ASSERT_EQ(Ol_Close(), OL_OK);
    RsSetTimer(TimerProtocol, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(RsTimerRunning(TimerProtocol), 1);
    EXPECT_EQ(RsGetTimerCount(TimerProtocol), 1);
}

// A tick that comes while a timer is being armed waits for the arm, then
// counts the new arm: a 1-tick arm expires on that tick, never at once and
// never not at all.
std::atomic<bool> g_tickDone{false};
std::thread g_racingTick;

void TickDuringArm(std::int32_t index) {
    if (index != TimerProtocol) return;
    orv::serial::testing::SetArmHook(nullptr);
    g_racingTick = std::thread([] {
        RsTick();
        g_tickDone.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST_F(SerialLink, OneTickArmRacingATick) {
    ASSERT_EQ(Open(1), OL_OK);
    StopSerialSupervisor();  // the test makes the ticks
    RsSetTimer(TimerProtocol, 1);
    g_tickDone.store(false);
    orv::serial::testing::SetArmHook(TickDuringArm);
    RsSetTimer(TimerProtocol, 1);
    EXPECT_FALSE(g_tickDone.load());  // held off by the arm
    g_racingTick.join();
    EXPECT_EQ(RsTimerRunning(TimerProtocol), 0);
    EXPECT_EQ(RsGetTimerCount(TimerProtocol), 0);

    // The same, left to chance many times over: every 1-tick arm expires.
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop.load()) RsTick();
    });
    int stuck = 0;
    for (int i = 0; i < 2000 && stuck == 0; ++i) {
        RsSetTimer(TimerProtocol, 1);
        if (!WaitUntil([] { return RsTimerRunning(TimerProtocol) == 0; }, 2000)) stuck = i + 1;
    }
    stop.store(true);
    ticker.join();
    EXPECT_EQ(stuck, 0);
}

}  // namespace
