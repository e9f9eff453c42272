// What the demos of orvctl and orv-collect share on POSIX systems: orv-sim
// started as a child process whose output goes to a log file, and the file
// helpers that set up and compare the data of both sides.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace orv::demo {

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The hex text of a file without CR, LF and commas: the data, whatever the layout.
inline std::string HexOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) {
        if (*it != '\r' && *it != '\n' && *it != ',') text += *it;
    }
    return text;
}

// The simulator as a child process, ended (SIGTERM) with this object or when
// the process that started it ends.
class Simulator {
  public:
    Simulator() = default;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Runs args (the program first) with its output in log (made readable by
    // the user only); true once its first line, which says where it serves,
    // is written, false when it ends or says nothing within 10 s.
    bool Start(const std::vector<std::string>& args, const std::filesystem::path& log) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0) return false;
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Ended with the demo however it ends (SIGTERM, SIGKILL), not left
            // serving without anyone to stop it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(126);
            dup2(out, STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out);
        for (int i = 0; pid_ > 0 && i < 400; ++i) {
            std::ifstream in(log);
            std::string line;
            if (std::getline(in, line) && !in.eof()) {
                where_ = line.substr(line.rfind(' ') + 1);
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    // The last word of its first line: a TCP address, a pty or a socket path.
    const std::string& Where() const { return where_; }

  private:
    pid_t pid_ = -1;
    std::string where_;
};

}  // namespace orv::demo
