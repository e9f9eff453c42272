// orv-collect: collects from (and sends to) every register of a shop at once.
//
//   orv-collect shop.toml                    # live view, then a summary table
//   orv-collect --report report.json shop.toml
//   orv-collect --demo                       # eight simulated registers
//
// Exit status: 0 every job succeeded, 1 some failed or were cancelled, 2 the
// command line or the configuration is wrong.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "collect.h"

namespace {

std::string SelfPath(const char* argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    path[n] = '\0';
    return path;
}

std::string Today() {
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // Sales files and reports are the shop's business: private to the user.
    umask(077);
    if (argc == 2 && std::strcmp(argv[1], "--worker") == 0) return collect::WorkerMain();

    CLI::App app{"orv-collect - exchange files with every register of a shop at once"};
    std::string configPath, reportPath, demoDir;
    int parallel = -1, retries = -1;
    bool demo = false, quiet = false, keep = false, check = false;
    app.add_option("config", configPath, "the shop's configuration (TOML)");
    app.add_option("--jobs,-j", parallel, "registers at once (0: every one its line allows)")
        ->check(CLI::Range(0, 10000));
    app.add_option("--retries", retries, "further attempts of a failed register")
        ->check(CLI::Range(0, 100));
    app.add_option("--report", reportPath, "write a JSON report to this file");
    app.add_flag("--quiet,-q", quiet, "no live view and no summary");
    app.add_flag("--check", check, "only read the configuration and show what it would run");
    app.add_flag("--demo", demo, "collect from eight simulated registers");
    app.add_option("--dir", demoDir, "--demo: work in this folder and keep it");
    app.add_flag("--keep", keep, "--demo: keep the temporary folder");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    std::string self = SelfPath(argv[0]);
    if (demo) return collect::Demo(self, demoDir, keep);
    if (configPath.empty()) {
        std::fprintf(stderr, "orv-collect: give a configuration file (or --demo); see --help\n");
        return 2;
    }
    collect::Config config;
    try {
        config = collect::LoadConfig(configPath, Today());
    } catch (const collect::ConfigError& error) {
        std::fprintf(stderr, "orv-collect: %s:%d: %s%s%s\n", configPath.c_str(), error.line,
                     error.key.empty() ? "" : "key '",
                     error.key.empty() ? "" : (error.key + "': ").c_str(), error.what());
        return 2;
    }
    if (parallel >= 0) config.parallel = static_cast<unsigned>(parallel);
    if (retries >= 0) config.retries = static_cast<unsigned>(retries);
    if (check) {
        for (const collect::Register& reg : config.registers) {
            std::printf("%s: %s\n", reg.name.c_str(), reg.LinkText().c_str());
            for (const collect::Job& job : reg.jobs) {
                std::printf("  %-8s %-10s %s\n", collect::KindName(job.kind), job.name.c_str(),
                            job.Receives() ? ("into " + job.into).c_str() : job.data.c_str());
            }
        }
        return 0;
    }
    collect::RunOptions options;
    options.reportPath = reportPath;
    options.quiet = quiet;
    return collect::Run(config, options, self);
}
