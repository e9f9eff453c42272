// orvctl demo: a full exchange each way over TCP, a pty and USB (a seqpacket
// socket standing in for the device), through the library's exports, against
// the register simulator started as a child (demo_posix.cpp). The simulator
// runs on POSIX systems only: on Windows the demo says so and returns 2
// (demo_win32.cpp).
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace orvctl {

struct DemoOptions {
    std::string dir;       // working folder (default: a new one under /tmp)
    bool verbose = false;  // echo the simulator's log
    bool tcp = true;
    bool serial = true;
    bool usb = true;
};

void AddDemoOptions(CLI::App* command, DemoOptions& options);
int RunDemo(const DemoOptions& options);

}  // namespace orvctl
