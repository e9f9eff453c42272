// The Linux end of the Windows serial test: makes a pty, maps it as COM<n> in
// the Wine prefix and runs the host program. It first answers the platform
// port's checks ("PONG" to "PING", "XYZ" to "JUNK"), then plays the register
// in the DLL's exchanges and checks every record on the wire: a two-file csv
// series sent after a selection and a command, closed with EOT and ACK; then
// the same series received after a bid and a command.
// Exits nonzero when the host or a check failed.
//
//   serial_register_peer <wineprefix> <n> <command> [args...]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "register/serial_register.h"

namespace {

using orv::reg::SerialRegister;

constexpr int kWait = 60000;  // real ms; every open of the port pauses for seconds

const std::string kHeader1 = "/HDR1/0100000000000001020203";
const std::string kHeader2 = "/HDR1/0100000000000002020203";
const std::string kData1 = "00000201AABBCCDDEE0102030405";
const std::string kData2 = "00000101FFEEDDCCBB";

int g_failed = 0;

bool Check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failed;
        std::printf("FAILED (register): %s\n", what.c_str());
    }
    return ok;
}

// Answers the platform port's checks until "JUNK" has been answered.
void AnswerPortChecks(orv::reg::SerialLine& line) {
    std::string window;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kWait)) {
        int byte = line.ReadByte(100);
        if (byte < 0) continue;
        window = (window + static_cast<char>(byte)).substr(window.size() >= 4 ? 1 : 0);
        if (window == "PING") line.Write(reinterpret_cast<const std::uint8_t*>("PONG"), 4);
        if (window == "JUNK") {
            line.Write(reinterpret_cast<const std::uint8_t*>("XYZ"), 3);
            return;
        }
    }
    (void)Check(false, "the port checks never came");
}

// Stops at the first failed step, so that a host that gave up costs one wait.
bool PlayExchanges(SerialRegister& reg) {
    // The host sends.
    if (!reg.AnswerSelection(kWait)) return Check(false, "send: selection of 000001");
    for (const std::string& want :
         std::vector<std::string>{"SEND", kHeader1, kData1, kHeader2, kData2}) {
        SerialRegister::Received got = reg.ReceiveRecord(kWait);
        if (got.kind != SerialRegister::Received::Record || got.data != want) {
            return Check(false, "send: record " + want + ", got " + got.data);
        }
    }
    if (!reg.Expect(orv::reg::kEot, kWait)) return Check(false, "send: closing EOT");
    reg.SendControl(orv::reg::kAck);

    // The host receives.
    if (!reg.AnswerBid(kWait)) return Check(false, "receive: bid");
    if (reg.ReceiveRecord(kWait).data != "RECV") return Check(false, "receive: command");
    return Check(reg.ServeRecords({kHeader1, kData1, kHeader2, kData2}, kWait) == 4,
                 "receive: 4 records acknowledged");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <wineprefix> <n> <command> [args...]\n", argv[0]);
        return 2;
    }
    std::string device;
    std::unique_ptr<orv::reg::FdLine> line = orv::reg::FdLine::OpenPty(&device);
    if (line == nullptr) {
        std::perror("pty");
        return 2;
    }
    const std::string link = std::string(argv[1]) + "/dosdevices/com" + argv[2];
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0) {
        std::perror(link.c_str());
        return 2;
    }
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[3], argv + 3);
        std::perror(argv[3]);
        _exit(127);
    }
    AnswerPortChecks(*line);
    SerialRegister reg(*line, "000001");
    (void)PlayExchanges(reg);

    int status = 0;
    waitpid(child, &status, 0);
    unlink(link.c_str());
    std::printf("serial register: %s\n", g_failed == 0 ? "passed" : "failed");
    const bool hostPassed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return g_failed == 0 && hostPassed ? 0 : 1;
}
