// orvctl on POSIX systems: signals, threads, the terminal, /proc, the
// resolver and the serial device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "orv_lib.h"
#include "os.h"

namespace orvctl {

namespace fs = std::filesystem;

// SIGINT and SIGTERM are blocked in every thread and taken by sigwait on a
// thread of its own, which calls the library.
struct CancelOnInterrupt::State {
    sigset_t set{};
    std::atomic<bool> done{false};
    std::atomic<bool> cancelled{false};
    std::string removeOnGiveUp;
    std::thread thread;

    void Run() {
        while (!done.load()) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (signal == SIGUSR1) continue;
            if (cancelled.exchange(true)) {
                std::fprintf(stderr, "\norvctl: second interrupt, giving up\n");
                if (!removeOnGiveUp.empty()) unlink(removeOnGiveUp.c_str());
                std::_Exit(130);
            }
            std::fprintf(stderr, "\norvctl: cancelling...\n");
            Ol_Cancel(1);
        }
    }
};

CancelOnInterrupt::CancelOnInterrupt(std::string removeOnGiveUp)
    : state_(std::make_unique<State>()) {
    state_->removeOnGiveUp = std::move(removeOnGiveUp);
    sigemptyset(&state_->set);
    sigaddset(&state_->set, SIGINT);
    sigaddset(&state_->set, SIGTERM);
    sigaddset(&state_->set, SIGUSR1);  // used only to wake the thread at exit
    pthread_sigmask(SIG_BLOCK, &state_->set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    state_->thread = std::thread([state = state_.get()] { state->Run(); });
}

CancelOnInterrupt::~CancelOnInterrupt() {
    state_->done.store(true);
    pthread_kill(state_->thread.native_handle(), SIGUSR1);
    state_->thread.join();
}

struct Ticker::State {
    std::function<void()> tick;
    std::chrono::milliseconds period;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

Ticker::Ticker(std::function<void()> tick, std::chrono::milliseconds period)
    : state_(std::make_unique<State>()) {
    state_->tick = std::move(tick);
    state_->period = period;
    state_->thread = std::thread([s = state_.get()] {
        std::unique_lock<std::mutex> lock(s->mutex);
        while (!s->wake.wait_for(lock, s->period, [s] { return s->stopping; })) {
            lock.unlock();
            s->tick();
            lock.lock();
        }
    });
}

Ticker::~Ticker() {
    Stop();
}

void Ticker::Stop() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (state_->thread.joinable()) state_->thread.join();
}

unsigned StderrColumns() {
    if (isatty(STDERR_FILENO) == 0) return 0;
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// The position of the first descriptor of this process on the file, from
// Linux's /proc.
long long ReadPosition(const std::string& path) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        if (fs::read_symlink(entry.path(), ec) != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        long long pos = 0;
        if (info >> key >> pos && key == "pos:") return pos;
    }
    return -1;
}

std::string ResolveIPv4(const std::string& host, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = gai_strerror(rc);
        return "";
    }
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, dotted,
              sizeof dotted);
    freeaddrinfo(found);
    return dotted;
}

std::string NewPrivateTempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/orvctl-trace-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());  // 0600, a name no one else holds
    if (fd < 0) return "";
    close(fd);
    return name.data();
}

void SetVariable(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void UnsetVariable(const char* name) {
    unsetenv(name);
}

std::string SerialDevicePath(unsigned port) {
    std::string variable = "ORV_LIB_COM" + std::to_string(port);
    const char* set = std::getenv(variable.c_str());
    if (set != nullptr && *set != '\0') return set;
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string ProbeSerialDevice(unsigned port, unsigned lineMode) {
    std::string path = SerialDevicePath(port);
    std::string named = "COM" + std::to_string(port) + " is " + path +
                        (std::getenv(("ORV_LIB_COM" + std::to_string(port)).c_str()) != nullptr
                             ? ""
                             : " (ORV_LIB_COM" + std::to_string(port) + "=<device> names another)");
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return named + ": " + std::strerror(errno);
    std::string problem;
    int lines = 0;
    if (!isatty(fd)) {
        problem = named + ": not a serial device";
    } else if (lineMode != 2 && (ioctl(fd, TIOCMGET, &lines) != 0 ||
                                 (lines & (TIOCM_DSR | TIOCM_CD | TIOCM_CTS)) == 0)) {
        problem = named +
                  ": this device has no modem lines (DSR, CTS and carrier read off): "
                  "use --line-mode 2";
    }
    close(fd);
    return problem;
}

}  // namespace orvctl
