// POSIX has no version resources: the product version text is built in.
#include <cstring>

#include "dll/version.h"
#include "platform/system.h"

namespace orv::platform {

void CopyProductVersion(char* buffer) {
    std::memcpy(buffer, ORV_LIB_PRODUCT_VERSION, sizeof ORV_LIB_PRODUCT_VERSION);
}

}  // namespace orv::platform
