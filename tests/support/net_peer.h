// Fixture for the network link's tests: a register side listening on the
// loopback address, and a library opened to it through Ol_Open_MWS.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "orv_lib.h"
#include "register/tcp_register.h"
#include "support/library_test.h"

namespace orv::test {

class NetTest : public LibraryTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Ol_Open_MWS with the given texts and port.
    static std::uint32_t OpenMws(const char* registerAddress, const char* terminalAddress,
                                 std::uint32_t port);
    // Initialises the library, opens the link to reg and accepts the
    // connection there. terminal is the terminal address text.
    void OpenToRegister(const char* terminal = "192.168.1.10");
    // Closes the link and opens it again on a fresh connection.
    void Reopen();
    // Runs fn on a thread of its own; joined at the latest in TearDown.
    template <class Fn>
    void Background(Fn fn) {
        JoinBackground();
        background_ = std::thread(fn);
    }
    void JoinBackground();

    reg::TcpRegister reg;

  private:
    std::thread background_;
};

// A port on the loopback address where nothing listens.
std::uint16_t UnusedPort();

}  // namespace orv::test
