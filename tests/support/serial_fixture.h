// Fixture for the serial link: the library initialised, time running fast, a
// virtual null modem at COM port kPort with the register's side of the
// protocol at its far end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "register/serial_register.h"
#include "support/library_test.h"
#include "testing/virtual_serial_port.h"

namespace orv::test {

// The register's line on the far end of a virtual null modem.
class VirtualLine : public orv::reg::SerialLine {
  public:
    explicit VirtualLine(orv::testing::VirtualModem* modem) : modem_(modem) {}
    int ReadByte(int timeoutMs) override;
    bool Write(const std::uint8_t* bytes, std::size_t count) override;
    void SetDsr(bool on) override { modem_->SetDsr(on); }
    void SetCts(bool on) override { modem_->SetCts(on); }
    void SetCarrier(bool on) override { modem_->SetCarrier(on); }

  private:
    orv::testing::VirtualModem* modem_;
};

class SerialTest : public LibraryTest {
  protected:
    static constexpr std::uint32_t kPort = 7;
    static constexpr std::uint32_t kTimeScale = 50;
    // Real milliseconds the register waits for the host before it gives up.
    static constexpr int kRegisterWaitMs = 5000;

    void SetUp() override;
    void TearDown() override;

    // Ol_Open_RS on the virtual port at 9600 bit/s.
    std::uint32_t Open(std::uint32_t lineMode, const char* address = "000001");

    orv::testing::VirtualModem& modem() { return *modem_; }
    orv::reg::SerialRegister& reg() { return *register_; }

    // Runs a register script on its own thread; JoinRegister waits for it.
    void RunRegister(std::function<void(orv::reg::SerialRegister&)> script);
    void JoinRegister();

    // Waits (real time) until cond holds; false after timeoutMs.
    static bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000);

  private:
    orv::testing::VirtualModem* modem_ = nullptr;
    std::unique_ptr<VirtualLine> line_;
    std::unique_ptr<orv::reg::SerialRegister> register_;
    std::thread thread_;
};

// Bytes of a text, for comparisons with what went over the line.
std::vector<std::uint8_t> Bytes(std::string_view text);

}  // namespace orv::test
