// orv-collect --demo: eight simulated registers (orv-sim from the same folder),
// four on TCP, three on ptys and one on USB (a seqpacket socket standing in
// for the device); two of them are faulty, one silent and one that hangs up
// part-way. Each gets a price table sent and its sales series
// collected; the demo then checks every good register's files against the
// simulator's own data.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../demo_support.h"
#include "collect.h"

namespace collect {

namespace {

namespace fs = std::filesystem;

enum class Link { kTcp, kPty, kUsb };

struct DemoRegister {
    const char* name;
    Link link;
    const char* fault;   // orv-sim options, or ""
    const char* expect;  // what the demo expects, for people
};

const DemoRegister kRegisters[] = {
    {"till-1", Link::kTcp, "", "ok"},
    {"till-2", Link::kTcp, "", "ok"},
    {"till-3", Link::kUsb, "", "ok"},
    {"till-4", Link::kPty, "", "ok"},
    {"counter-1", Link::kPty, "", "ok"},
    {"counter-2", Link::kPty, "", "ok"},
    {"kiosk", Link::kTcp, "--silent", "39: never answers"},
    {"bar", Link::kTcp, "--end-after 3", "82: hangs up after two blocks"},
};

using orv::demo::HexOf;
using orv::demo::WriteText;

// Rows of two and three bytes in hex; each register's differ.
std::string Rows(unsigned seed, unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        char row[16];
        std::snprintf(row, sizeof row, "%010X\r\n", (seed * 7919u + i * 104729u) & 0xFFFFFFFFu);
        text += row;
    }
    return text;
}

// The simulator's command line for a register: its link and its faults.
std::vector<std::string> SimulatorArgs(const std::string& program, const fs::path& data,
                                       const DemoRegister& reg, const fs::path& socket) {
    std::vector<std::string> args = {program, "--data", data.string()};
    if (reg.link == Link::kTcp) {
        args.insert(args.end(), {"--tcp", "0"});
    } else if (reg.link == Link::kUsb) {
        args.insert(args.end(), {"--usb", socket.string()});
    } else {
        args.push_back("--pty");
    }
    const std::string faults = reg.fault;
    for (std::size_t at = 0; at < faults.size();) {
        std::size_t space = faults.find(' ', at);
        if (space == std::string::npos) space = faults.size();
        args.push_back(faults.substr(at, space - at));
        at = space + 1;
    }
    return args;
}

}  // namespace

int Demo(const std::string& self, std::string dir, bool keep) {
    std::error_code error;
    if (dir.empty()) {
        std::string pattern = (fs::temp_directory_path(error) / "orv-collect-demo-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("orv-collect: temporary folder");
            return 1;
        }
        dir = pattern;
    } else {
        keep = true;
        fs::create_directories(dir, error);
    }
    fs::path work = fs::absolute(dir);
    // The temporary folder goes on every way out, after the simulators
    // (declared later, so ended first).
    struct RemoveUnlessKept {
        fs::path path;
        bool keep;
        ~RemoveUnlessKept() {
            std::error_code ignored;
            if (!keep) fs::remove_all(path, ignored);
        }
    } cleanup{work, keep};
    std::string sim = (fs::path(self).parent_path() / "orv-sim").string();
    std::printf("orv-collect demo in %s\n", work.c_str());

    // A price table the office sends to every register.
    fs::create_directories(work / "prices", error);
    WriteText(work / "prices" / "header.txt", "0100000000000001020203");
    WriteText(work / "prices" / "prices.txt", Rows(1000, 40));

    std::vector<orv::demo::Simulator> sims(std::size(kRegisters));
    std::string toml =
        "# eight registers of a demo shop\n"
        "[collect]\nretries = 1\nbackoff_ms = 500\n\n"
        "[defaults]\nreceive_wait = 3000\nretries = 3\ntimeout = 1000\nline_mode = 2\n"
        "selection = 0\nrecord_timeout = 3000\n\n"
        "[[job]]\nkind = \"receive\"\nname = \"sales\"\ncommand = \"GET\"\nheader_format = 1\n"
        "csv = true\ninto = \"collected/{register}/{date}\"\n\n"
        "[[job]]\nkind = \"send\"\nname = \"prices\"\ncommand = \"PUT\"\n"
        "header = \"prices/header.txt\"\nheader_format = 1\ndata = \"prices/prices.txt\"\n"
        "csv = true\n";
    for (std::size_t i = 0; i < std::size(kRegisters); ++i) {
        const DemoRegister& reg = kRegisters[i];
        fs::path data = work / "registers" / reg.name;
        fs::create_directories(data / "out", error);
        WriteText(data / "out" / "header.txt", "0100000000000001020203");
        WriteText(data / "out" / "data.txt",
                  Rows(static_cast<unsigned>(i), static_cast<unsigned>(30 + 20 * i)));
        WriteText(data / "out" / "data.002",
                  Rows(static_cast<unsigned>(i + 50), static_cast<unsigned>(10 + 5 * i)));
        if (!sims[i].Start(SimulatorArgs(sim, data, reg, work / (std::string(reg.name) + ".sock")),
                           work / "registers" / (std::string(reg.name) + ".log"))) {
            std::fprintf(stderr, "orv-collect: cannot start %s\n", sim.c_str());
            return 1;
        }
        toml += "\n[[register]]\nname = \"" + std::string(reg.name) + "\"\n";
        const char* key = reg.link == Link::kTcp   ? "tcp"
                          : reg.link == Link::kUsb ? "usb"
                                                   : "serial";
        toml += std::string(key) + " = \"" + sims[i].Where() + "\"\n";
        std::printf("  %-10s %-6s %-40s expected: %s\n", reg.name, key, sims[i].Where().c_str(),
                    reg.expect);
    }
    WriteText(work / "shop.toml", toml);
    std::printf("configuration: %s\n\n", (work / "shop.toml").c_str());
    std::fflush(stdout);

    Config config;
    try {
        config = LoadConfig((work / "shop.toml").string(), "today");
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "orv-collect: demo configuration, line %d: %s\n", e.line, e.what());
        return 1;
    }
    RunOptions options;
    options.reportPath = (work / "report.json").string();
    int status = Run(config, options, self);

    // Every good register's files must be the simulator's, byte for byte.
    int wrong = status == 1 ? 0 : 1;
    std::printf("\nchecks:\n");
    for (std::size_t i = 0; i < std::size(kRegisters); ++i) {
        const DemoRegister& reg = kRegisters[i];
        if (*reg.fault != '\0') continue;
        fs::path got = work / "collected" / reg.name / "today";
        fs::path want = work / "registers" / reg.name / "out";
        fs::path in = work / "registers" / reg.name / "in";
        bool same = HexOf(got / "data.txt") == HexOf(want / "data.txt") &&
                    HexOf(got / "data.002") == HexOf(want / "data.002") &&
                    HexOf(in / "data.txt") == HexOf(work / "prices" / "prices.txt") &&
                    !HexOf(got / "data.txt").empty();
        std::printf("  %-10s sales and prices %s\n", reg.name,
                    same ? "same on both sides" : "DIFFERENT");
        if (!same) ++wrong;
    }
    std::printf("report: %s\n", options.reportPath.c_str());
    std::printf(wrong == 0 ? "demo: as expected, six registers collected, two failed\n"
                           : "demo: NOT as expected\n");
    return wrong == 0 ? 0 : 1;
}

}  // namespace collect
