// Fixture for the serial link tests (and the headers they share): the library
// initialised, time running fast, a virtual null modem at COM port kPort with
// the register's side of the protocol at its far end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "api/library.h"
#include "api/result_codes.h"
#include "orv_lib.h"
#include "platform/clock.h"
#include "register/serial_register.h"
#include "serial/frame.h"
#include "serial/lines.h"
#include "serial/procedures.h"
#include "serial/serial_cells.h"
#include "serial/timers.h"
#include "support/library_test.h"
#include "testing/virtual_serial_port.h"

namespace orv::test {

// The register's line on the far end of a virtual null modem.
class VirtualLine : public orv::reg::SerialLine {
  public:
    explicit VirtualLine(orv::testing::VirtualModem& modem) : modem_(modem) {}
    int ReadByte(int ms) override { return modem_.ReceiveByte(static_cast<std::uint32_t>(ms)); }
    bool Write(const std::uint8_t* bytes, std::size_t count) override {
        modem_.Send(bytes, count);
        return true;
    }

  private:
    orv::testing::VirtualModem& modem_;
};

class SerialTest : public LibraryTest {
  protected:
    using Script = std::function<void(orv::reg::SerialRegister&)>;
    static constexpr std::uint32_t kPort = 7;
    static constexpr int kWait = 5000;  // real ms the register waits for the host

    void SetUp() override {
        LibraryTest::SetUp();
        Ol_Initialize();
        platform::SetTimeScale(50);
        modem_ = orv::testing::InstallVirtualPort(static_cast<std::int32_t>(kPort));
        ASSERT_NE(modem_, nullptr);
        modem_->SetAllLines(true);
        line_ = std::make_unique<VirtualLine>(*modem_);
        register_ = std::make_unique<orv::reg::SerialRegister>(*line_, "000001");
    }
    void TearDown() override {
        LibraryTest::TearDown();
        unsetenv("ORV_LIB_COM9");
        register_.reset();
        line_.reset();
        orv::testing::RemoveVirtualPorts();
    }

    // Ol_Open_RS at 9600 bit/s, on the virtual port unless told otherwise.
    std::uint32_t Open(std::uint32_t lineMode, const char* address = "000001",
                       std::uint32_t port = kPort) {
        SerialOpenRecord record{const_cast<char*>(address), port, 2, lineMode};
        return Ol_Open_RS(&record);
    }
    // A pty that COM port 9 maps to; the register's end is returned.
    std::unique_ptr<orv::reg::FdLine> PtyAtCom9() {
        std::string path;
        std::unique_ptr<orv::reg::FdLine> line = orv::reg::FdLine::OpenPty(&path);
        if (line != nullptr) setenv("ORV_LIB_COM9", path.c_str(), 1);
        return line;
    }

    orv::testing::VirtualModem& modem() { return *modem_; }
    orv::reg::SerialRegister& reg() { return *register_; }

    // Runs a script for the register (the virtual port's unless given) on a
    // thread of its own; JoinBackground waits for it.
    void RunRegister(Script script, orv::reg::SerialRegister* on = nullptr) {
        orv::reg::SerialRegister* r = on != nullptr ? on : register_.get();
        Background([r, script] { script(*r); });
    }

    // The link procedures on text; RecvRecord delivers into Got().
    std::uint32_t SendRecord(const std::string& data, std::uint32_t ms = 5000,
                             std::uint32_t retries = 0) {
        return serial::RsSendRecord(reinterpret_cast<const std::uint8_t*>(data.data()),
                                    static_cast<std::int32_t>(data.size()), ms, retries);
    }
    std::uint32_t RecvRecord(std::uint32_t ms = 5000) {
        length_ = 0;
        return serial::RsRecvRecord(out_, &length_, ms);
    }
    std::string Got() const { return std::string(out_, out_ + length_); }

    // Protocol milliseconds that fn takes.
    static std::uint32_t Timed(const std::function<void()>& fn) {
        std::uint32_t start = platform::NowMs();
        fn();
        return platform::NowMs() - start;
    }

    std::uint8_t out_[serial::kRecordDataMax] = {};
    std::int32_t length_ = 0;

  private:
    orv::testing::VirtualModem* modem_ = nullptr;
    std::unique_ptr<VirtualLine> line_;
    std::unique_ptr<orv::reg::SerialRegister> register_;
};

}  // namespace orv::test
