// Waits on the register's sockets. Header-only, so that every program built
// from a register's source file alone (the wine64 tests' peers) has it.
#pragma once

#include <poll.h>
#include <time.h>

#include <cerrno>

namespace orv::reg {

// Milliseconds of the monotonic clock.
inline long long MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd reports one of events (poll's) or the MonotonicMs deadline
// passes: 1 ready, 0 at the deadline, -1 on failure. A signal does not end
// the wait.
inline int WaitPoll(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - MonotonicMs();
        if (left < 0) left = 0;
        pollfd p{};
        p.fd = fd;
        p.events = events;
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) return 1;
        return r < 0 ? -1 : 0;
    }
}

}  // namespace orv::reg
