// The termios port on a real pty (Linux), which has no modem lines: the byte
// path in line mode 2, watched lines that read as off, and COM port mapping.
#include <gtest/gtest.h>

#include "support/serial_fixture.h"

namespace {

using namespace orv::serial;
using orv::reg::SerialRegister;

class SerialPty : public orv::test::SerialTest {};

// Both ways: every 7-bit character but the control bytes, a record of full
// size, each control byte of the handshakes.
TEST_F(SerialPty, BytePathInLineModeTwo) {
    std::unique_ptr<orv::reg::FdLine> line = PtyAtCom9();
    ASSERT_NE(line, nullptr);
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
}

TEST_F(SerialPty, WatchedLinesReadAsOffAndOnlyTerminalsOpen) {
    orv::platform::SetTimeScale(100);
    std::unique_ptr<orv::reg::FdLine> line = PtyAtCom9();
    ASSERT_NE(line, nullptr);
    // A pty fails the modem-status query: with the lines watched, DSR never
    // comes; the port is closed again and opens at once in line mode 2.
    EXPECT_EQ(Open(1, "000001", 9), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
    EXPECT_EQ(Open(2, "000001", 9), OL_OK);
    EXPECT_EQ(Ol_Close(), OL_OK);
    // A device that is no terminal opens but is refused.
    setenv("ORV_LIB_COM9", "/dev/null", 1);
    EXPECT_EQ(Open(2, "000001", 9), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
}

}  // namespace
