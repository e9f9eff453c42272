// The removal monitor: a thread of the library (the OS layer's removal watch)
// that closes the USB device when the OS reports it removed, while the run
// cell is 2 (armed).
//
// The monitor never reaches a destroyed port: it acts only under the port
// lock and only on the port the cells hold, and the USB close and a failed
// open wait until the watch's thread has ended before they destroy the port
// (under the same lock).
#pragma once

#include <cstdint>

namespace orv::usb {

// The last step of Ol_Open_USB, once the port's device is open: starts the
// watch and waits (100 ms polls, at most 451) for it to report ready; then
// arms the run cell. 0, or 55 when the thread cannot be created or does not
// report (the port is then destroyed).
std::uint32_t StartMonitor();

// The USB close: disarms the run cell, stops the watch and waits for its
// thread to end, then destroys the port. 0, or 50 when the USB link is not
// started.
std::uint32_t CloseUsb();

}  // namespace orv::usb
