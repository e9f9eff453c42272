#include "support/net_peer.h"

#include <string>

namespace orv::test {

void NetTest::SetUp() {
    LibraryTest::SetUp();
    ASSERT_TRUE(reg.Listen());
}

void NetTest::TearDown() {
    JoinBackground();
    LibraryTest::TearDown();
}

void NetTest::JoinBackground() {
    if (background_.joinable()) background_.join();
}

std::uint32_t NetTest::OpenMws(const char* registerAddress, const char* terminalAddress,
                               std::uint32_t port) {
    std::string r = registerAddress != nullptr ? registerAddress : "";
    std::string t = terminalAddress != nullptr ? terminalAddress : "";
    NetworkOpenRecord record{registerAddress != nullptr ? r.data() : nullptr,
                             terminalAddress != nullptr ? t.data() : nullptr, port};
    return Ol_Open_MWS(&record);
}

void NetTest::OpenToRegister(const char* terminal) {
    Ol_Initialize();
    ASSERT_EQ(OpenMws("127.0.0.1", terminal, reg.Port()), OL_OK);
    ASSERT_TRUE(reg.Accept(5000));
}

void NetTest::Reopen() {
    Ol_Close();
    reg.CloseConnection();
    ASSERT_EQ(OpenMws("127.0.0.1", "192.168.1.10", reg.Port()), OL_OK);
    ASSERT_TRUE(reg.Accept(5000));
}

std::uint16_t UnusedPort() {
    reg::TcpRegister probe;
    if (!probe.Listen()) return 0;
    std::uint16_t port = probe.Port();
    probe.StopListening();
    return port;
}

}  // namespace orv::test
