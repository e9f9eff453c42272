// Fixture for the network link's tests: a register side listening on the
// loopback address, a library opened to it through Ol_Open_MWS, and a thread
// for what has to happen while the host's call waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "orv_lib.h"
#include "register/tcp_register.h"
#include "support/library_test.h"

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;
constexpr int kNetWait = 5000;  // how long the register waits for the host, ms

class NetTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_TRUE(reg.Listen());
    }
    // Ol_Open_MWS with the given texts (which it only reads) and port.
    static std::uint32_t OpenMws(const char* registerText, const char* terminalText,
                                 std::uint32_t port) {
        NetworkOpenRecord record{const_cast<char*>(registerText), const_cast<char*>(terminalText),
                                 port};
        return Ol_Open_MWS(&record);
    }
    // Initialises the library, opens the link to reg and accepts it there.
    void OpenToRegister() {
        Ol_Initialize();
        ASSERT_EQ(OpenMws("127.0.0.1", "192.168.1.10", reg.Port()), OL_OK);
        ASSERT_TRUE(reg.Accept(kNetWait));
    }
    // Closes the link and opens it again on a fresh connection.
    void Reopen() {
        Ol_Close();
        reg.CloseConnection();
        OpenToRegister();
    }

    reg::TcpRegister reg;
};

}  // namespace orv::test
