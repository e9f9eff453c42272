// Windows clock: the multimedia timer (1 ms steps), and Sleep.
#include <windows.h>

// mmsystem.h needs the types of windows.h first.
#include <mmsystem.h>

#include "platform/clock.h"

namespace orv::platform {

std::uint32_t RawNowMs() {
    return timeGetTime();
}

void RawSleepMs(std::uint32_t ms) {
    Sleep(ms);
}

}  // namespace orv::platform
