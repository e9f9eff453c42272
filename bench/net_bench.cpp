// Network transfer throughput over loopback, through the shipped library.
//
// Every block sent waits the protocol's 10 ms for a stray byte before it goes
// out, so a sender manages at most about 100 blocks a second: throughput is
// reported as a ratio to that ceiling (target: at least 0.95), and the CPU
// time of the host's thread per wall second (target: at most 0.05).
//
// Runs Ol_Write of a 1 MB file, then Ol_WriteRead sending a 1 MB series of two
// files, against a register side on a thread of its own that reads every
// block and answers each file.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "orv_lib.h"
#include "register/tcp_register.h"

namespace {

using orv::reg::TcpBlock;
using orv::reg::TcpRegister;
using orv::reg::TcpStatus;

constexpr std::size_t kMegabyte = 1024 * 1024;
constexpr double kCeilingBlocksPerSecond = 100.0;

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Counts {
    std::atomic<long> blocks{0};
    std::atomic<long> bytes{0};
};

// Reads blocks until the host closes; answers after every last data block
// of a series file (type 'D' following a header) when answerFiles is set.
void Serve(TcpRegister* reg, Counts* counts, std::atomic<bool>* answerFiles) {
    TcpBlock block;
    while (reg->Receive(&block, 60000) == TcpStatus::Ok) {
        counts->blocks.fetch_add(1);
        counts->bytes.fetch_add(static_cast<long>(block.data.size()));
        if (answerFiles->load() && block.type == 0x44) reg->Send(0, 0x01, {});
    }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

void Report(const char* what, long blocks, double wall, double cpu) {
    double ratio = (static_cast<double>(blocks) / wall) / kCeilingBlocksPerSecond;
    std::printf(
        "%-28s %5ld blocks in %6.2f s: %6.1f blocks/s, ratio to ceiling %.3f %s, "
        "CPU %.4f s/s %s\n",
        what, blocks, wall, static_cast<double>(blocks) / wall, ratio,
        ratio >= 0.95 ? "(ok)" : "(BELOW 0.95)", cpu / wall,
        cpu / wall <= 0.05 ? "(ok)" : "(ABOVE 0.05)");
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/orv_net_bench_XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    const std::string dir = dirTemplate;

    TcpRegister reg;
    if (!reg.Listen()) return 1;
    Counts counts;
    std::atomic<bool> answerFiles{false};

    Ol_Initialize();
    std::string registerAddress = "127.0.0.1";
    std::string terminalAddress = "127.0.0.2";
    NetworkOpenRecord open{registerAddress.data(), terminalAddress.data(), reg.Port()};
    if (Ol_Open_MWS(&open) != OL_OK || !reg.Accept(5000)) {
        std::printf("cannot open the link\n");
        return 1;
    }
    std::thread server(Serve, &reg, &counts, &answerFiles);
    int status = 0;

    // Ol_Write of 1 MB of raw bytes.
    std::string raw(kMegabyte, '\0');
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i * 7);
    std::string rawPath = dir + "/raw.bin";
    WriteFile(rawPath, raw);
    SendFileDesc send{rawPath.data(), 0};
    auto start = std::chrono::steady_clock::now();
    double cpu0 = ThreadCpuSeconds();
    std::uint32_t rc = Ol_Write(&send);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = ThreadCpuSeconds() - cpu0;
    long blocks = static_cast<long>((kMegabyte + 1452) / 1453);
    if (rc != OL_OK) {
        std::printf("Ol_Write failed: %u\n", rc);
        status = 1;
    }
    Report("Ol_Write 1 MB", blocks, wall, cpu);

    // A two-file series of 512 KB each in plain layout (hex text on disk).
    while (counts.blocks.load() < blocks) usleep(1000);
    answerFiles.store(true);
    const long before = counts.blocks.load();
    std::string headerPath = dir + "/hdr.txt";
    WriteFile(headerPath, "0000000000000001020000");
    std::string hex;
    hex.reserve(kMegabyte);
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < kMegabyte / 2; ++i) {
        hex += kDigits[(i >> 4) & 0xF];
        hex += kDigits[i & 0xF];
    }
    std::string dataPath = dir + "/DATA.TXT";
    WriteFile(dataPath, hex);
    WriteFile(dir + "/DATA.002", hex);
    ExchangeRequest request{};
    request.direction = 1;
    request.receiveWait = 10000;
    request.retries = 160;
    request.timeout = 250;
    request.endPause = 1;
    HeaderFileDesc header{0, headerPath.data(), 0};
    DataFileDesc data{0, 0, dataPath.data(), 0};
    start = std::chrono::steady_clock::now();
    cpu0 = ThreadCpuSeconds();
    rc = Ol_WriteRead(&request, &header, &data);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = ThreadCpuSeconds() - cpu0;
    if (rc != OL_OK) {
        std::printf("Ol_WriteRead failed: %u\n", rc);
        status = 1;
    }
    // The closing pause of 200 ms is not a block: leave it out.
    Report("Ol_WriteRead 1 MB, 2 files", counts.blocks.load() - before, wall - 0.2, cpu);

    Ol_Close();
    server.join();
    Ol_End();
    std::remove(rawPath.c_str());
    std::remove(headerPath.c_str());
    std::remove(dataPath.c_str());
    std::remove((dir + "/DATA.002").c_str());
    rmdir(dir.c_str());
    return status;
}
