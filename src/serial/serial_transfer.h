// The serial link's transfers and its echo exchange: Ol_Write, Ol_Read,
// Ol_WriteRead and Ol_EchoBack as sequences of the link procedures around the
// transfer files.
#pragma once

#include <cstdint>

#include "orv_lib.h"

namespace orv::serial {

// The export frame has checked the open link and passes non-null records to
// WriteFile and ReadFile; header and data may be null (no such descriptor).
std::uint32_t WriteFile(SendFileDesc* file);
std::uint32_t ReadFile(DataFileDesc* file);
std::uint32_t WriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data);
// request is non-null; a null sendFile is a send file that cannot be read
// (EOT, 4), a null receiveFile one that cannot be created (4).
std::uint32_t EchoBack(ExchangeRequest* request, SendFileDesc* sendFile, DataFileDesc* receiveFile);

}  // namespace orv::serial
