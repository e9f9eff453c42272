// orv-collect: runs the exchanges of a shop's registers in parallel, one
// worker process per register, and reports what each one gave.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace collect {

// One exchange on a register's link, as the worker runs it.
struct Job {
    enum class Kind { kReceive, kSend, kRead, kWrite };
    Kind kind = Kind::kReceive;
    std::string name;  // what the report calls it: "receive", "send", ...
    std::optional<std::string> command;
    std::string header;  // receive: file name in the folder; send: path ("" = none)
    unsigned headerFormat = 0;
    std::string data;  // receive/read: file name in the folder; send/write: path
    bool csv = false;
    std::string into;  // receive/read: the folder the files are moved into
    // The request's time limits and retries, as ExchangeRequest has them.
    unsigned selection = 0;
    unsigned receiveWait = 10000;
    unsigned retries = 3;
    unsigned timeout = 3000;
    unsigned selectRetries = 3;
    unsigned selectTimeout = 3000;
    unsigned recordTimeout = 10000;
    unsigned closeMode = 0;
    unsigned endPause = 0;

    bool Receives() const { return kind == Kind::kReceive || kind == Kind::kRead; }
};

const char* KindName(Job::Kind kind);

struct Register {
    enum class Link { kTcp, kSerial, kUsb };
    std::string name;
    Link link = Link::kTcp;
    std::string host;  // tcp
    unsigned port = 0;
    std::string terminal = "127.0.0.1";
    unsigned comNumber = 0;  // serial: a COM number, or 0 with a device path
    std::string device;
    std::string station = "000001";
    unsigned baudCode = 2;
    unsigned lineMode = 1;
    std::string usb;        // usb device name
    unsigned limitSeconds;  // a worker still running after this is stopped
    std::vector<Job> jobs;

    std::string LinkText() const;
    // Registers with the same key share a line and run one after another;
    // "" for links that run alongside every other.
    std::string LineKey() const;
};

struct Config {
    unsigned parallel = 0;  // workers at once, 0 = as many as the lines allow
    unsigned retries = 1;   // further attempts of a failed register
    unsigned backoffMs = 1000;
    std::string failedDir;  // where failed jobs' partial files go
    std::vector<Register> registers;
};

// A configuration error, with where it is.
struct ConfigError : std::runtime_error {
    ConfigError(int at, std::string name, const std::string& what)
        : std::runtime_error(what), line(at), key(std::move(name)) {}
    int line;
    std::string key;
};

// Reads the configuration file; relative paths count from its folder, and
// {register} and {date} (today, YYYY-MM-DD) are filled in. Throws ConfigError.
Config LoadConfig(const std::string& path, const std::string& date);

// The worker's side: reads its task (JSON) from stdin, runs the jobs through
// the library, and writes one JSON line per event to stdout.
int WorkerMain();

struct RunOptions {
    std::string reportPath;
    bool quiet = false;
};

// Runs the collection and prints the live view and the summary. Returns the
// exit status: 0 every job succeeded, 1 something failed or was cancelled.
int Run(const Config& config, const RunOptions& options, const std::string& self);

// Starts eight simulators, collects from them and shows the report.
int Demo(const std::string& self, std::string dir, bool keep);

}  // namespace collect
