#include "support/serial_fixture.h"

#include <chrono>

#include "orv_lib.h"
#include "platform/clock.h"

namespace orv::test {

int VirtualLine::ReadByte(int timeoutMs) {
    return modem_->ReceiveByte(static_cast<std::uint32_t>(timeoutMs));
}

bool VirtualLine::Write(const std::uint8_t* bytes, std::size_t count) {
    modem_->Send(bytes, count);
    return true;
}

void SerialTest::SetUp() {
    LibraryTest::SetUp();
    Ol_Initialize();
    platform::SetTimeScale(kTimeScale);
    modem_ = orv::testing::InstallVirtualPort(static_cast<std::int32_t>(kPort));
    ASSERT_NE(modem_, nullptr);
    modem_->SetAllLines(true);
    line_ = std::make_unique<VirtualLine>(modem_);
    register_ = std::make_unique<orv::reg::SerialRegister>(*line_, "000001");
}

void SerialTest::TearDown() {
    JoinRegister();
    LibraryTest::TearDown();
    register_.reset();
    line_.reset();
    orv::testing::RemoveVirtualPorts();
}

std::uint32_t SerialTest::Open(std::uint32_t lineMode, const char* address) {
    SerialOpenRecord record{const_cast<char*>(address), kPort, 2, lineMode};
    return Ol_Open_RS(&record);
}

void SerialTest::RunRegister(std::function<void(orv::reg::SerialRegister&)> script) {
    JoinRegister();
    thread_ = std::thread([this, script] { script(*register_); });
}

void SerialTest::JoinRegister() {
    if (thread_.joinable()) thread_.join();
}

bool SerialTest::WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace orv::test
