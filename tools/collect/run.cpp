// The collection: starts one worker process per register (as many at once as
// allowed, registers on one serial line one after another), follows their
// events, stops workers that run past their limit, retries failed registers
// with a growing pause, moves received files into place only after a job
// succeeded, and shows it all as it happens.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "../result_text.h"
#include "collect.h"

namespace collect {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kTick = std::chrono::milliseconds(200);
constexpr std::uint32_t OL_DATA_FILE_CODE = 4;
constexpr std::uint32_t OL_CANCELLED_CODE = 36;
constexpr auto kKillGrace = std::chrono::seconds(3);

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

enum class Stamp { kIso, kName };

// The local time now, for the report (ISO 8601) or for a folder name.
std::string Now(Stamp kind) {
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    if (kind == Stamp::kIso) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    } else {
        std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    }
    return text;
}

std::string HumanBytes(std::uintmax_t bytes) {
    char text[32];
    if (bytes < 10000) {
        std::snprintf(text, sizeof text, "%ju B", bytes);
    } else if (bytes < 10000000) {
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    }
    return text;
}

std::uintmax_t FolderBytes(const std::string& folder) {
    std::uintmax_t total = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        total += entry.file_size(error);
        if (error) error.clear();
    }
    return total;
}

// What became of one job, over all the register's attempts.
struct JobState {
    std::string status = "waiting";  // then running, ok, failed, crashed, hung, cancelled, skipped
    std::optional<std::uint32_t> code;
    unsigned attempts = 0;
    std::uintmax_t bytes = 0;
    double seconds = 0;
    Clock::time_point started;
    std::vector<std::string> files;
    json tries = json::array();
};

struct Worker {
    const Register* reg = nullptr;
    enum class Phase { kWaiting, kRunning, kBackoff, kDone } phase = Phase::kWaiting;
    std::vector<JobState> jobs;
    std::size_t next = 0;   // the first job not yet done
    unsigned attempts = 0;  // attempts of the register
    pid_t pid = -1;
    int out = -1;  // the worker's stdout
    std::string buffer;
    std::vector<std::string> folders;    // this attempt's temporary folders
    std::optional<std::size_t> current;  // the job running now
    std::string stopReason;              // "hung" or "cancelled" once the worker was told to stop
    Clock::time_point attemptStart, firstStart, retryAt, killAt, end;
    bool started = false;
    bool lastFailed = false;  // this attempt reported a job that failed
};

class Collection {
  public:
    Collection(const Config& config, const RunOptions& options, std::string self)
        : config_(config), options_(options), self_(std::move(self)) {
        for (const Register& reg : config.registers) {
            Worker w;
            w.reg = &reg;
            w.jobs.resize(reg.jobs.size());
            workers_.push_back(std::move(w));
        }
        terminal_ = !options.quiet && isatty(STDOUT_FILENO);
        // A view taller than the terminal cannot be redrawn in place.
        winsize size{};
        if (terminal_ && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
            config.registers.size() + 2 > size.ws_row) {
            terminal_ = false;
        }
        for (const Register& reg : config.registers) {
            nameWidth_ =
                std::max(nameWidth_, static_cast<int>(std::min<std::size_t>(reg.name.size(), 24)));
            linkWidth_ = std::max(
                linkWidth_, static_cast<int>(std::min<std::size_t>(reg.LinkText().size(), 48)));
        }
        stamp_ = Now(Stamp::kName);
    }

    int Run() {
        start_ = Clock::now();
        startedText_ = Now(Stamp::kIso);
        while (!AllDone()) {
            Schedule();
            Wait();
            CheckLimits();
            Reap();
            Draw(false);
        }
        Draw(true);
        Summary();
        int status = 0;
        for (const Worker& w : workers_) {
            for (const JobState& j : w.jobs) {
                if (j.status != "ok") status = 1;
            }
        }
        if (!options_.reportPath.empty() && !WriteReport(status)) return 1;
        return status;
    }

  private:
    bool AllDone() const {
        for (const Worker& w : workers_) {
            if (w.phase != Worker::Phase::kDone) return false;
        }
        return true;
    }

    std::size_t Running() const {
        std::size_t n = 0;
        for (const Worker& w : workers_) n += w.phase == Worker::Phase::kRunning;
        return n;
    }

    void Schedule() {
        if (cancelling_) return;
        std::set<std::string> busy;
        for (const Worker& w : workers_) {
            if (w.phase == Worker::Phase::kRunning && !w.reg->LineKey().empty()) {
                busy.insert(w.reg->LineKey());
            }
        }
        auto now = Clock::now();
        for (Worker& w : workers_) {
            if (config_.parallel != 0 && Running() >= config_.parallel) return;
            bool ready = w.phase == Worker::Phase::kWaiting ||
                         (w.phase == Worker::Phase::kBackoff && now >= w.retryAt);
            std::string key = w.reg->LineKey();
            if (!ready || (!key.empty() && busy.contains(key))) continue;
            if (!key.empty()) busy.insert(key);
            Start(w);
        }
    }

    // A temporary folder beside the job's folder, private to the user.
    std::string MakeFolder(const Register& reg, std::size_t index) {
        fs::path into(reg.jobs[index].into);
        std::error_code error;
        fs::create_directories(into.parent_path(), error);
        std::string pattern =
            (into.parent_path() / ("." + into.filename().string() + "." + reg.name + "-" +
                                   std::to_string(index + 1) + ".partial-XXXXXX"))
                .string();
        if (mkdtemp(pattern.data()) == nullptr) return "";
        return pattern;
    }

    void Start(Worker& w) {
        const Register& reg = *w.reg;
        ++w.attempts;
        w.attemptStart = Clock::now();
        if (!w.started) w.firstStart = w.attemptStart;
        w.started = true;
        w.stopReason.clear();
        w.current.reset();
        w.lastFailed = false;
        w.buffer.clear();
        w.folders.assign(reg.jobs.size(), "");

        json task;
        task["register"] = {{"link", reg.link == Register::Link::kTcp      ? "tcp"
                                     : reg.link == Register::Link::kSerial ? "serial"
                                                                           : "usb"},
                            {"host", reg.host},
                            {"port", reg.port},
                            {"terminal", reg.terminal},
                            {"com", reg.comNumber},
                            {"device", reg.device},
                            {"station", reg.station},
                            {"baud_code", reg.baudCode},
                            {"line_mode", reg.lineMode},
                            {"usb", reg.usb}};
        json jobs = json::array();
        for (std::size_t i = 0; i < reg.jobs.size(); ++i) {
            const Job& job = reg.jobs[i];
            json j = {{"kind", KindName(job.kind)},
                      {"header", job.header},
                      {"header_format", job.headerFormat},
                      {"data", job.data},
                      {"csv", job.csv},
                      {"selection", job.selection},
                      {"receive_wait", job.receiveWait},
                      {"retries", job.retries},
                      {"timeout", job.timeout},
                      {"select_retries", job.selectRetries},
                      {"select_timeout", job.selectTimeout},
                      {"record_timeout", job.recordTimeout},
                      {"close_mode", job.closeMode},
                      {"into", job.into},
                      {"end_pause", job.endPause}};
            if (job.command) j["command"] = *job.command;
            jobs.push_back(j);
            if (i >= w.next && job.Receives()) w.folders[i] = MakeFolder(reg, i);
        }
        task["jobs"] = jobs;
        task["folders"] = w.folders;
        task["first"] = w.next;
        for (std::size_t i = w.next; i < reg.jobs.size(); ++i) {
            if (reg.jobs[i].Receives() && w.folders[i].empty()) {
                Note(w, reg.jobs[i].name + ": cannot make a temporary folder beside " +
                            reg.jobs[i].into);
                return Unstarted(w, i, "failed", OL_DATA_FILE_CODE);
            }
        }

        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return Unstarted(w, w.next, "crashed", std::nullopt);
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return Unstarted(w, w.next, "crashed", std::nullopt);
        }
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            // A worker whose collector died cancels its transfer and ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(126);
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, STDERR_FILENO);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            signal(SIGPIPE, SIG_DFL);
            execl(self_.c_str(), self_.c_str(), "--worker", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (pid < 0) {
            close(in[1]);
            close(out[0]);
            return Unstarted(w, w.next, "crashed", std::nullopt);
        }
        std::string text = task.dump();
        for (std::size_t done = 0; done < text.size();) {
            ssize_t n = write(in[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(in[1]);
        w.pid = pid;
        w.out = out[0];
        w.phase = Worker::Phase::kRunning;
        if (!terminal_ && w.attempts > 1) Note(w, "attempt " + std::to_string(w.attempts));
    }

    void Wait() {
        std::vector<pollfd> fds{{g_signalPipe[0], POLLIN, 0}};
        std::vector<Worker*> owners{nullptr};
        for (Worker& w : workers_) {
            if (w.out >= 0) {
                fds.push_back({w.out, POLLIN, 0});
                owners.push_back(&w);
            }
        }
        int ready = poll(fds.data(), fds.size(),
                         static_cast<int>(std::chrono::milliseconds(kTick).count()));
        if (ready <= 0) return;
        if (fds[0].revents & POLLIN) {
            char bytes[16];
            if (read(g_signalPipe[0], bytes, sizeof bytes) > 0) Interrupt();
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Worker& w = *owners[i];
            char chunk[4096];
            ssize_t n = read(w.out, chunk, sizeof chunk);
            if (n <= 0) {
                close(w.out);
                w.out = -1;
                continue;
            }
            w.buffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = w.buffer.find('\n')) != std::string::npos;) {
                std::string line = w.buffer.substr(0, nl);
                w.buffer.erase(0, nl + 1);
                Event(w, line);
            }
        }
    }

    void Event(Worker& w, const std::string& line) {
        try {
            HandleEvent(w, line);
        } catch (const json::exception&) {
            // Not an event of ours: ignored, as any other noise of a worker.
        }
    }

    void HandleEvent(Worker& w, const std::string& line) {
        json event = json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("job") || !event["job"].is_number_unsigned()) {
            return;
        }
        std::size_t index = event["job"];
        if (index >= w.jobs.size() || index < w.next) return;
        JobState& job = w.jobs[index];
        if (event.value("event", "") == "start") {
            ++job.attempts;
            job.status = "running";
            job.started = Clock::now();
            w.current = index;
            if (!terminal_) Note(w, w.reg->jobs[index].name + ": started");
            return;
        }
        if (event.value("event", "") != "end" || !event["code"].is_number_unsigned()) return;
        if (event.value("open", false)) {
            ++job.attempts;
            job.started = Clock::now();
        }
        auto code = event["code"].get<std::uint32_t>();
        job.bytes = event["bytes"].is_number_unsigned() ? event["bytes"].get<std::uintmax_t>() : 0;
        w.current.reset();
        w.lastFailed = code != 0;
        std::string status = "failed";
        if (code == 0) status = "ok";
        // A worker stopped for its time limit or a Ctrl-C answers 36.
        if (code == OL_CANCELLED_CODE) status = w.stopReason.empty() ? "cancelled" : w.stopReason;
        std::vector<std::string> files;
        if (const auto it = event.find("files"); it != event.end() && it->is_array()) {
            for (const json& f : *it) {
                if (f.is_string()) files.push_back(f.get<std::string>());
            }
        }
        Finish(w, index, status, code, files);
    }

    // Moves a failed job's partial files to failed; returns where they are:
    // failed, or folder itself when they cannot be moved there (a copy that
    // fails half-way is undone, never the files themselves).
    static std::string KeepPartial(const std::string& folder, const fs::path& failed) {
        std::error_code error;
        fs::create_directories(failed.parent_path(), error);
        fs::rename(folder, failed, error);
        if (!error) return failed.string();
        if (error == std::errc::cross_device_link && !fs::exists(failed, error) && !error) {
            fs::copy(folder, failed, fs::copy_options::recursive, error);
            if (!error) {
                fs::remove_all(folder, error);
                return failed.string();
            }
            fs::remove_all(failed, error);
        }
        return folder;
    }

    // Ends a job's attempt: its files go into place, or to the failed folder.
    void Finish(Worker& w, std::size_t index, const std::string& status,
                std::optional<std::uint32_t> code, const std::vector<std::string>& files = {}) {
        const Job& job = w.reg->jobs[index];
        JobState& state = w.jobs[index];
        state.status = status;
        state.code = code;
        state.seconds = Seconds(Clock::now() - state.started);
        json attempt = {{"status", status},
                        {"code", code ? json(*code) : json(nullptr)},
                        {"failed_dir", nullptr}};
        std::string folder = index < w.folders.size() ? w.folders[index] : "";
        if (index < w.folders.size()) w.folders[index].clear();
        std::error_code error;
        if (status == "ok") {
            state.files = files;
            if (!folder.empty()) fs::remove_all(folder, error);  // emptied by the worker
        } else if (!folder.empty()) {
            if (fs::is_empty(folder, error)) {
                fs::remove(folder, error);
            } else {
                fs::path failed = fs::path(config_.failedDir) / w.reg->name /
                                  (stamp_ + "-" + std::to_string(index + 1) + "-" + job.name +
                                   "-attempt" + std::to_string(state.attempts));
                std::string kept = KeepPartial(folder, failed);
                if (kept == folder) {
                    Note(w, job.name + ": cannot move the partial files to " + failed.string() +
                                "; they stay in " + folder);
                }
                attempt["failed_dir"] = kept;
            }
        }
        state.tries.push_back(attempt);
        if (state.status == "ok") {
            w.next = index + 1;
            if (!terminal_) {
                Note(w, job.name + ": ok, " + std::to_string(state.bytes) + " bytes in " +
                            Fixed(state.seconds) + " s");
            }
        } else if (!terminal_) {
            Note(w, job.name + ": " + ResultText(state));
        }
    }

    static std::string Fixed(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        return text;
    }

    static std::string ResultText(const JobState& job) {
        if (job.code) {
            return std::to_string(*job.code) + " " + orv_tools::ResultMeaning(*job.code);
        }
        return job.status;
    }

    void Interrupt() {
        auto now = Clock::now();
        if (cancelling_) {
            // A second interrupt: stop at once.
            for (Worker& w : workers_) {
                if (w.pid > 0) kill(w.pid, SIGKILL);
            }
            return;
        }
        cancelling_ = true;
        if (!terminal_) std::printf("orv-collect: cancelling every transfer\n");
        for (Worker& w : workers_) {
            if (w.phase == Worker::Phase::kRunning && w.pid > 0) {
                if (w.stopReason.empty()) w.stopReason = "cancelled";
                w.killAt = now + kKillGrace;
                kill(w.pid, SIGTERM);
            } else if (w.phase != Worker::Phase::kDone) {
                Close(w, "cancelled");
            }
        }
    }

    void CheckLimits() {
        auto now = Clock::now();
        for (Worker& w : workers_) {
            if (w.phase != Worker::Phase::kRunning || w.pid <= 0) continue;
            if (w.stopReason.empty() &&
                now - w.attemptStart > std::chrono::seconds(w.reg->limitSeconds)) {
                // Past its limit: cancel the transfer, then kill it if it does not end.
                w.stopReason = "hung";
                w.killAt = now + kKillGrace;
                kill(w.pid, SIGTERM);
                Note(w, "still running after " + std::to_string(w.reg->limitSeconds) +
                            " s, stopping it");
            } else if (!w.stopReason.empty() && now > w.killAt) {
                kill(w.pid, SIGKILL);
            }
        }
    }

    void Reap() {
        for (Worker& w : workers_) {
            if (w.phase != Worker::Phase::kRunning || w.pid <= 0) continue;
            int status = 0;
            if (waitpid(w.pid, &status, WNOHANG) != w.pid) continue;
            // Read what the worker said before it went.
            while (w.out >= 0) {
                char chunk[4096];
                ssize_t n = read(w.out, chunk, sizeof chunk);
                if (n <= 0) {
                    close(w.out);
                    w.out = -1;
                    break;
                }
                w.buffer.append(chunk, static_cast<std::size_t>(n));
            }
            for (std::size_t nl; (nl = w.buffer.find('\n')) != std::string::npos;) {
                std::string line = w.buffer.substr(0, nl);
                w.buffer.erase(0, nl + 1);
                Event(w, line);
            }
            w.pid = -1;
            Ended(w, status);
        }
    }

    // An attempt that could not start its worker.
    void Unstarted(Worker& w, std::size_t index, const std::string& status,
                   std::optional<std::uint32_t> code) {
        ++w.jobs[index].attempts;
        w.jobs[index].started = Clock::now();
        Finish(w, index, status, code);
        Decide(w);
    }

    // The worker has gone: decide what became of its register.
    void Ended(Worker& w, int status) {
        if (w.next < w.jobs.size() && !w.lastFailed) {
            // A job was running, or about to begin, and no end was reported.
            std::size_t open = w.current.value_or(w.next);
            if (!w.current) {
                ++w.jobs[open].attempts;
                w.jobs[open].started = w.attemptStart;
            }
            std::string what = !w.stopReason.empty() ? w.stopReason : "crashed";
            if (what == "crashed") {
                Note(w, WIFSIGNALED(status)
                            ? "worker crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
                            : "worker ended with status " + std::to_string(WEXITSTATUS(status)));
            }
            w.current.reset();
            Finish(w, open, what,
                   what == "cancelled" ? std::optional<std::uint32_t>(36) : std::nullopt);
        }
        Decide(w);
    }

    // After an attempt: the register is done, or tried again after a pause.
    void Decide(Worker& w) {
        // Temporary folders of jobs that never began.
        for (std::string& folder : w.folders) {
            std::error_code error;
            if (!folder.empty()) fs::remove_all(folder, error);
            folder.clear();
        }
        if (w.next >= w.jobs.size()) return Close(w, "");
        const JobState& failed = w.jobs[w.next];
        bool retry = failed.status != "cancelled" && !cancelling_ && w.attempts <= config_.retries;
        if (retry) {
            auto pause = std::chrono::milliseconds(
                static_cast<long long>(config_.backoffMs * std::pow(2.0, w.attempts - 1)));
            w.retryAt = Clock::now() + pause;
            w.phase = Worker::Phase::kBackoff;
            if (!terminal_) {
                Note(w, "retry " + std::to_string(w.attempts) + " of " +
                            std::to_string(config_.retries) + " in " + Fixed(Seconds(pause)) +
                            " s");
            }
            return;
        }
        Close(w, cancelling_ ? "cancelled" : "skipped");
    }

    // The register is finished; jobs that never ran get the status given.
    void Close(Worker& w, const std::string& rest) {
        for (std::size_t i = w.next; i < w.jobs.size(); ++i) {
            if (w.jobs[i].status == "waiting") w.jobs[i].status = rest;
        }
        w.phase = Worker::Phase::kDone;
        w.end = Clock::now();
    }

    void Note(const Worker& w, const std::string& text) {
        if (terminal_ || options_.quiet) return;
        std::printf("[%6.1fs] %s: %s\n", Seconds(Clock::now() - start_), w.reg->name.c_str(),
                    text.c_str());
        std::fflush(stdout);
    }

    // The register's worst job: the first that did not succeed.
    const JobState* Worst(const Worker& w) const {
        for (const JobState& j : w.jobs) {
            if (j.status != "ok") return &j;
        }
        return nullptr;
    }

    std::string Line(const Worker& w) {
        auto now = Clock::now();
        std::string state, job, result;
        std::uintmax_t bytes = 0;
        for (const JobState& j : w.jobs) bytes += j.bytes;
        std::size_t shown = std::min(w.current.value_or(w.next), w.jobs.size() - 1);
        switch (w.phase) {
            case Worker::Phase::kWaiting:
                state = "waiting";
                break;
            case Worker::Phase::kRunning:
                state = w.stopReason.empty() ? "running" : "stopping";
                if (w.current && !w.folders[*w.current].empty()) {
                    bytes += FolderBytes(w.folders[*w.current]);
                }
                break;
            case Worker::Phase::kBackoff:
                state = "retry " + Fixed(std::max(0.0, Seconds(w.retryAt - now))) + "s";
                break;
            case Worker::Phase::kDone: {
                const JobState* worst = Worst(w);
                state = worst ? worst->status : "ok";
                if (worst) result = ResultText(*worst);
                if (worst) shown = static_cast<std::size_t>(worst - w.jobs.data());
                break;
            }
        }
        if (result.empty() && w.phase == Worker::Phase::kDone) result = "0 success";
        job = std::to_string(shown + 1) + "/" + std::to_string(w.jobs.size()) + " " +
              w.reg->jobs[shown].name;
        double elapsed = !w.started                        ? 0
                         : w.phase == Worker::Phase::kDone ? Seconds(w.end - w.firstStart)
                                                           : Seconds(now - w.firstStart);
        char text[512];
        std::snprintf(text, sizeof text, "%-*.*s %-*.*s %-12.12s %-16.16s %10s %7.1fs  %s",
                      nameWidth_, nameWidth_, w.reg->name.c_str(), linkWidth_, linkWidth_,
                      w.reg->LinkText().c_str(), state.c_str(), job.c_str(),
                      HumanBytes(bytes).c_str(), elapsed, result.c_str());
        return text;
    }

    void Draw(bool last) {
        if (!terminal_) return;
        auto now = Clock::now();
        if (!last && now - drawn_ < kTick) return;
        drawn_ = now;
        // Lines longer than the terminal would wrap and spoil the redraw.
        std::size_t width = 1000;
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
            width = size.ws_col - 1;
        std::string out;
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
        // "text" + std::string.
        if (lines_ > 0) out.append("\x1b[").append(std::to_string(lines_)).append("A");
        char head[160];
        std::snprintf(head, sizeof head, "%-*s %-*s %-12s %-16s %10s %8s  %s", nameWidth_,
                      "REGISTER", linkWidth_, "LINK", "STATE", "JOB", "BYTES", "ELAPSED", "RESULT");
        out.append("\r").append(std::string(head).substr(0, width)).append("\x1b[K\n");
        for (const Worker& w : workers_) {
            out.append("\r").append(Line(w).substr(0, width)).append("\x1b[K\n");
        }
        lines_ = workers_.size() + 1;
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }

    void Summary() {
        if (options_.quiet) return;
        std::printf("\n%-*s %-*s %-5s %-10s %8s  %s\n", nameWidth_, "REGISTER", linkWidth_, "LINK",
                    "JOBS", "BYTES", "TIME", "RESULT");
        for (const Worker& w : workers_) {
            std::uintmax_t bytes = 0;
            unsigned ok = 0, attempts = 0;
            for (const JobState& j : w.jobs) {
                bytes += j.bytes;
                ok += j.status == "ok";
                attempts = std::max(attempts, j.attempts);
            }
            const JobState* worst = Worst(w);
            std::string result = "0 success";
            if (worst && worst->code) {
                result =
                    (worst->status == "failed" ? "" : worst->status + ": ") + ResultText(*worst);
            } else if (worst) {
                result = worst->status;
            }
            if (w.attempts > 1) result += " (" + std::to_string(w.attempts) + " attempts)";
            double seconds = w.started ? Seconds(w.end - w.firstStart) : 0;
            std::printf("%-*s %-*s %-5s %-10s %7.1fs  %s\n", nameWidth_, w.reg->name.c_str(),
                        linkWidth_, w.reg->LinkText().c_str(),
                        (std::to_string(ok) + "/" + std::to_string(w.jobs.size())).c_str(),
                        HumanBytes(bytes).c_str(), seconds, result.c_str());
        }
        std::printf("collected in %.1f s\n", Seconds(Clock::now() - start_));
        std::fflush(stdout);
    }

    bool WriteReport(int status) {
        json results = json::array();
        for (const Worker& w : workers_) {
            for (std::size_t i = 0; i < w.jobs.size(); ++i) {
                const JobState& j = w.jobs[i];
                const Job& job = w.reg->jobs[i];
                json failedDirs = json::array();
                for (const json& t : j.tries) {
                    if (!t["failed_dir"].is_null()) failedDirs.push_back(t["failed_dir"]);
                }
                results.push_back({
                    {"register", w.reg->name},
                    {"link", w.reg->LinkText()},
                    {"job", i + 1},
                    {"name", job.name},
                    {"kind", KindName(job.kind)},
                    {"status", j.status},
                    {"code", j.code ? json(*j.code) : json(nullptr)},
                    {"meaning", j.code ? json(orv_tools::ResultMeaning(*j.code)) : json(nullptr)},
                    {"attempts", j.attempts},
                    {"bytes", j.bytes},
                    {"seconds", std::round(j.seconds * 1000) / 1000},
                    {"into", job.Receives() ? json(job.into) : json(nullptr)},
                    {"files", j.files},
                    {"failed_dirs", failedDirs},
                    {"tries", j.tries},
                });
            }
        }
        json report = {{"format", 1},
                       {"started", startedText_},
                       {"seconds", std::round(Seconds(Clock::now() - start_) * 1000) / 1000},
                       {"cancelled", cancelling_},
                       {"exit", status},
                       {"results", results}};
        // A temporary file of a name no other run uses (two runs may share a
        // report path), renamed over the report once whole.
        std::string temp = options_.reportPath + ".partial-XXXXXX";
        int fd = mkstemp(temp.data());
        int error = fd < 0 ? errno : 0;
        std::string text = report.dump(2) + "\n";
        for (std::size_t done = 0; error == 0 && done < text.size();) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n <= 0) error = n < 0 ? errno : EIO;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && std::rename(temp.c_str(), options_.reportPath.c_str()) != 0) {
            error = errno;
        }
        if (error != 0) {
            std::fprintf(stderr, "orv-collect: cannot write %s: %s\n", options_.reportPath.c_str(),
                         std::strerror(error));
            if (fd >= 0) unlink(temp.c_str());
            return false;
        }
        return true;
    }

    const Config& config_;
    const RunOptions& options_;
    std::string self_;
    std::vector<Worker> workers_;
    bool terminal_ = false;
    bool cancelling_ = false;
    std::size_t lines_ = 0;
    int nameWidth_ = 8, linkWidth_ = 4;  // the widest name and link, within limits
    std::string stamp_, startedText_;
    Clock::time_point start_, drawn_;
};

}  // namespace

int Run(const Config& config, const RunOptions& options, const std::string& self) {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;  // a write to a worker is not cut short by Ctrl-C
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int status = Collection(config, options, self).Run();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    close(g_signalPipe[0]);
    close(g_signalPipe[1]);
    return status;
}

}  // namespace collect
