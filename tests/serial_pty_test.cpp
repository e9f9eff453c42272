// The serial link on a real pty (Linux): the termios port, COM port mapping,
// and the byte path of the handshakes in line mode 2 (a pty has no modem lines).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "api/library.h"
#include "api/result_codes.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "register/serial_register.h"
#include "serial/lines.h"
#include "serial/procedures.h"
#include "serial/serial_cells.h"
#include "support/library_test.h"

namespace {

using namespace orv::serial;
using orv::reg::SerialRegister;

constexpr int kWait = 5000;

class SerialPty : public orv::test::LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        Ol_Initialize();
        orv::platform::SetTimeScale(50);
        line_ = orv::reg::FdLine::OpenPty(&path_);
        ASSERT_NE(line_, nullptr);
        setenv("ORV_LIB_COM9", path_.c_str(), 1);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        unsetenv("ORV_LIB_COM9");
        unsetenv("ORV_LIB_COM250");
    }
    std::uint32_t Open(std::uint32_t port, std::uint32_t lineMode) {
        SerialOpenRecord record{const_cast<char*>("000001"), port, 6, lineMode};
        return Ol_Open_RS(&record);
    }

    std::string path_;
    std::unique_ptr<orv::reg::FdLine> line_;
};

TEST_F(SerialPty, HandshakesInLineModeTwo) {
    ASSERT_EQ(Open(9, 2), OL_OK);
    // Every 7-bit character but the control bytes, and a record of full size.
    std::string text;
    for (int ch = 0x20; ch < 0x7F; ++ch) text += static_cast<char>(ch);
    std::string big(kRecordDataMax, 'Q');

    SerialRegister reg(*line_, "000001");
    std::vector<SerialRegister::Received> got;
    int served = 0;
    std::thread registerSide([&] {
        if (!reg.AnswerSelection(kWait)) return;
        got.push_back(reg.ReceiveRecord(kWait, SerialRegister::Reply::Nak));
        got.push_back(reg.ReceiveRecord(kWait));
        got.push_back(reg.ReceiveRecord(kWait));
        got.push_back(reg.ReceiveRecord(kWait));  // the EOT
        served = reg.ServeRecords({text, big}, kWait);
    });
    auto data = [](const std::string& s) {
        return reinterpret_cast<const std::uint8_t*>(s.data());
    };
    auto size = [](const std::string& s) { return static_cast<std::int32_t>(s.size()); };
    EXPECT_EQ(RsSelect(Cells().stationAddress, 5000, 0), 0u);
    EXPECT_EQ(RsSendRecord(data(text), size(text), 5000, 1), 0u);
    EXPECT_EQ(RsSendRecord(data(big), size(big), 5000, 0), 0u);
    EXPECT_EQ(RsSendEot(), 0u);

    std::uint8_t out[kRecordDataMax];
    std::int32_t length = 0;
    EXPECT_EQ(RsWaitEnq(5000, 0), 0u);
    ASSERT_EQ(RsRecvRecord(out, &length, 5000), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)), text);
    ASSERT_EQ(RsRecvRecord(out, &length, 5000), 0u);
    EXPECT_EQ(length, kRecordDataMax);
    EXPECT_EQ(RsRecvRecord(out, &length, 5000), static_cast<std::uint32_t>(orv::LinkEot));
    registerSide.join();

    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, SerialRegister::Received::Refused);
    EXPECT_EQ(got[1].data, text);
    EXPECT_EQ(got[1].digit, '0');
    EXPECT_EQ(got[2].data, big);
    EXPECT_EQ(got[2].digit, '1');
    EXPECT_EQ(got[3].kind, SerialRegister::Received::Eot);
    EXPECT_EQ(served, 2);
    EXPECT_EQ(Ol_Close(), OL_OK);
}

// A pty fails the modem-status query, which reads as every line off: with the
// lines watched, DSR never comes.
TEST_F(SerialPty, WatchedLinesOfAPtyReadAsOff) {
    orv::platform::SetTimeScale(100);
    EXPECT_EQ(Open(9, 1), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));  // opened, then closed
    EXPECT_EQ(Open(9, 2), OL_OK);                          // and it can be opened again at once
}

TEST_F(SerialPty, ComPortMapping) {
    // Unmapped COM250 is /dev/ttyS249, which does not exist.
    EXPECT_EQ(Open(250, 2), OL_NO_LINK);
    EXPECT_TRUE(orv::HasState(orv::StateSerialStarted));
    EXPECT_FALSE(RsPortOpen());
    // A device that is no terminal opens but is refused.
    setenv("ORV_LIB_COM250", "/dev/null", 1);
    EXPECT_EQ(Open(250, 2), OL_NO_LINK);
    EXPECT_FALSE(orv::HasState(orv::StateSerialStarted));
}

}  // namespace
