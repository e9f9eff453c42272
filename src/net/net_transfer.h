// The three transfer exports on the network link.
#pragma once

#include <cstdint>

#include "orv_lib.h"

namespace orv::net {

std::uint32_t WriteFile(SendFileDesc* file);
std::uint32_t ReadFile(DataFileDesc* file);
std::uint32_t WriteRead(ExchangeRequest* request, HeaderFileDesc* header, DataFileDesc* data);

}  // namespace orv::net
