// The USB transfers: Ol_Write, Ol_Read and Ol_WriteRead as packet exchanges
// around the transfer files. Every block is one packet whose KIND is the
// block type; headers travel as "/HDR1/" and hex text, data as bytes.
#pragma once

#include <cstdint>

#include "orv_lib.h"

namespace orv::usb {

std::uint32_t UsbWriteFile(SendFileDesc* file);
std::uint32_t UsbReadFile(DataFileDesc* file);
// Runs with the monitor's run cell at 1 (the link's dispatch sees to it).
std::uint32_t UsbWriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data);

}  // namespace orv::usb
