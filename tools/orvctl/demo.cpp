#include "demo.h"

#include <CLI/CLI.hpp>

namespace orvctl {

void AddDemoOptions(CLI::App* command, DemoOptions& options) {
    command->add_option("--dir", options.dir, "working folder (default: a new one under /tmp)");
    command->add_flag("--verbose", options.verbose, "show the simulator's log");
    command->add_flag("!--no-tcp", options.tcp, "skip the TCP link");
    command->add_flag("!--no-serial", options.serial, "skip the serial link");
    command->add_flag("!--no-usb", options.usb, "skip the USB link");
}

}  // namespace orvctl
