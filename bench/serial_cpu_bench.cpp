// CPU cost of the serial link on a pty, in CPU seconds per wall second:
//  - a receive (RsRecvRecord) that waits 10 s on a silent line;
//  - a send (RsSendBytes) of 100 KB, drained by the far end as fast as it can.
// The process's CPU time counts every thread of the library (the line
// supervisor too); the far end's reader thread is measured apart and left out.
//
//   orv_bench_serial [wait-seconds]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "orv_lib.h"
#include "register/serial_register.h"
#include "serial/frame.h"
#include "serial/procedures.h"
#include "serial/serial_cells.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    double waitSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (waitSeconds <= 0) waitSeconds = 10.0;

    std::string path;
    std::unique_ptr<orv::reg::FdLine> line = orv::reg::FdLine::OpenPty(&path);
    if (!line) {
        std::fprintf(stderr, "no pty\n");
        return 1;
    }
    setenv("ORV_LIB_COM9", path.c_str(), 1);
    Ol_Initialize();
    SerialOpenRecord record{const_cast<char*>("000001"), 9, 6, 2};
    std::uint32_t rc = Ol_Open_RS(&record);
    if (rc != 0) {
        std::fprintf(stderr, "Ol_Open_RS on %s: %u\n", path.c_str(), rc);
        return 1;
    }
    std::printf("pty %s, line mode 2, 115200 bit/s\n", path.c_str());

    // A receive waiting on a silent line.
    std::uint8_t out[orv::serial::kRecordDataMax];
    std::int32_t length = 0;
    double cpu0 = ProcessCpuSeconds();
    double wall0 = WallSeconds();
    rc = orv::serial::RsRecvRecord(out, &length, static_cast<std::uint32_t>(waitSeconds * 1000));
    double wall = WallSeconds() - wall0;
    double cpu = ProcessCpuSeconds() - cpu0;
    std::printf("waiting:  status %u after %.2f s wall, %.4f s CPU: %.4f CPU s per wall s\n", rc,
                wall, cpu, cpu / wall);

    // 100 KB out, read by the far end as fast as it comes.
    std::vector<std::uint8_t> data(100 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>('A' + i % 26);
    }
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> drained{0};
    double readerCpu = 0;
    std::thread reader([&] {
        double start = ThreadCpuSeconds();
        std::uint8_t buffer[4096];
        for (;;) {
            ssize_t n = read(line->fd(), buffer, sizeof buffer);
            if (n > 0) {
                drained.fetch_add(static_cast<std::size_t>(n));
            } else if (stop.load()) {
                break;
            } else {
                usleep(200);
            }
        }
        readerCpu = ThreadCpuSeconds() - start;
    });
    cpu0 = ProcessCpuSeconds();
    wall0 = WallSeconds();
    rc = orv::serial::RsSendBytes(data.data(), static_cast<std::int32_t>(data.size()));
    wall = WallSeconds() - wall0;
    stop.store(true);
    reader.join();
    cpu = ProcessCpuSeconds() - cpu0 - readerCpu;
    std::printf(
        "sending:  status %u, %zu bytes (%zu arrived) in %.2f s wall (%.0f bytes/s), "
        "%.4f s CPU: %.4f CPU s per wall s\n",
        rc, data.size(), drained.load(), wall, static_cast<double>(data.size()) / wall, cpu,
        cpu / wall);

    Ol_Close();
    Ol_End();
    return 0;
}
