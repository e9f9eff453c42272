// The worker: one process per register, since the library holds one link per
// process. It reads its task as one JSON object on stdin, opens the link, runs
// the jobs in order until one fails, and reports each job's start and end as a
// JSON line on stdout. SIGINT or SIGTERM becomes Ol_Cancel(1).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "../numbered_name.h"
#include "collect.h"
#include "orv_lib.h"

namespace collect {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::atomic<bool> g_cancelled{false};

// Set before Ol_Cancel is called, so that a cancel arriving while the link
// opens (an open clears the request) is still seen before the next job.
void CancelThread(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        g_cancelled.store(true);
        Ol_Cancel(1);
    }
}

void Emit(const json& event) {
    std::string line = event.dump() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::uintmax_t SeriesBytes(const std::string& path) {
    std::uintmax_t total = 0;
    std::error_code error;
    for (unsigned n = 1;; ++n) {
        std::uintmax_t size = fs::file_size(NumberedName(path, n), error);
        if (error) break;
        total += size;
    }
    return total;
}

std::uint32_t Open(const json& reg) {
    std::string link = reg.at("link");
    if (link == "tcp") {
        std::string host = reg.at("host"), terminal = reg.at("terminal");
        NetworkOpenRecord record{host.data(), terminal.data(), reg.at("port").get<std::uint32_t>()};
        return Ol_Open_MWS(&record);
    }
    if (link == "usb") {
        std::string name = reg.at("usb");
        UsbOpenRecord record{name.data()};
        return Ol_Open_USB(&record);
    }
    std::string station = reg.at("station");
    std::uint32_t com = reg.at("com");
    std::string device = reg.at("device");
    if (!device.empty()) {
        // A device path is mapped to a COM number of this process alone.
        com = 1;
        setenv("ORV_LIB_COM1", device.c_str(), 1);
    }
    SerialOpenRecord record{station.data(), com, reg.at("baud_code").get<std::uint32_t>(),
                            reg.at("line_mode").get<std::uint32_t>()};
    return Ol_Open_RS(&record);
}

// Runs one job; the received files land in folder. Sets bytes.
std::uint32_t RunJob(const json& job, const std::string& folder, std::uintmax_t& bytes) {
    std::string kind = job.at("kind");
    std::string data = job.at("data");
    if (kind == "write") {
        SendFileDesc file{data.data(), job.at("record_timeout").get<std::uint32_t>()};
        std::uint32_t code = Ol_Write(&file);
        bytes = code == 0 ? SeriesBytes(data) : 0;
        return code;
    }
    if (kind == "read") {
        std::string path = (fs::path(folder) / data).string();
        DataFileDesc file{0, 0, path.data(), job.at("record_timeout").get<std::uint32_t>()};
        std::uint32_t code = Ol_Read(&file);
        bytes = SeriesBytes(path);
        return code;
    }
    bool receive = kind == "receive";
    std::string command = job.value("command", "");
    ExchangeRequest request{};
    request.direction = receive ? 0 : 1;
    request.selection = job.at("selection");
    request.command = job.contains("command") ? command.data() : nullptr;
    request.receiveWait = job.at("receive_wait");
    request.retries = job.at("retries");
    request.timeout = job.at("timeout");
    request.selectRetries = job.at("select_retries");
    request.selectTimeout = job.at("select_timeout");
    request.closeMode = job.at("close_mode");
    request.endPause = job.at("end_pause");
    std::uint32_t recordTimeout = job.at("record_timeout");
    std::string header = job.at("header");
    std::string dataPath = data;
    if (receive) {
        header = (fs::path(folder) / header).string();
        dataPath = (fs::path(folder) / data).string();
    }
    HeaderFileDesc headerDesc{job.at("header_format").get<std::uint32_t>(), header.data(),
                              recordTimeout};
    DataFileDesc dataDesc{job.at("csv").get<bool>() ? 1u : 0u, 0, dataPath.data(), recordTimeout};
    std::uint32_t code = Ol_WriteRead(&request, header.empty() ? nullptr : &headerDesc, &dataDesc);
    // Bytes of the files received so far, or of the files sent once all went.
    if (receive || code == 0) {
        bytes = SeriesBytes(dataPath) + (header.empty() ? 0 : SeriesBytes(header));
    }
    return code;
}

// After a job that succeeded: its files go from the temporary folder into
// place, each by a rename (so never half written); gives 4 when one cannot
// be moved, leaving the rest in the temporary folder.
std::uint32_t MoveIntoPlace(const std::string& folder, const std::string& into, json& files) {
    std::error_code error;
    fs::create_directories(into, error);
    std::vector<std::string> moved;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        fs::path target = fs::path(into) / entry.path().filename();
        fs::rename(entry.path(), target, error);
        if (error == std::errc::cross_device_link) {
            // into is on another file system (a mount point, or a link to
            // one): the copy is made beside the target and renamed onto it,
            // so that the file still appears whole.
            error.clear();
            std::string partName = ".";  // appended, not "." + name: GCC 12 -O3 warns falsely
            partName += entry.path().filename().string();
            partName += ".partial-" + std::to_string(getpid());
            fs::path part = fs::path(into) / partName;
            std::error_code ignored;
            if (fs::copy_file(entry.path(), part, fs::copy_options::overwrite_existing, error)) {
                fs::rename(part, target, error);
            }
            if (error) {
                fs::remove(part, ignored);
            } else {
                fs::remove(entry.path(), ignored);
            }
        }
        if (error) return OL_DATA_FILE;
        moved.push_back(target.string());
    }
    if (error) return OL_DATA_FILE;
    std::sort(moved.begin(), moved.end());
    files = moved;
    return 0;
}

}  // namespace

int WorkerMain() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(CancelThread, set).detach();

    json task;
    try {
        task = json::parse(std::string(std::istreambuf_iterator<char>(std::cin), {}));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orv-collect worker: bad task: %s\n", error.what());
        return 3;
    }
    const json& reg = task.at("register");
    const json& jobs = task.at("jobs");
    const json& folders = task.at("folders");
    std::size_t first = task.at("first");

    Ol_Initialize();
    std::uint32_t code = Open(reg);
    if (code == 0 && g_cancelled.load()) code = OL_CANCELLED;
    if (code != 0) {
        Emit({{"job", first}, {"event", "end"}, {"code", code}, {"bytes", 0}, {"open", true}});
    }
    for (std::size_t i = first; code == 0 && i < jobs.size(); ++i) {
        Emit({{"job", i}, {"event", "start"}});
        std::uintmax_t bytes = 0;
        code =
            g_cancelled.load() ? std::uint32_t{OL_CANCELLED} : RunJob(jobs[i], folders[i], bytes);
        json files = json::array();
        std::string folder = folders[i];
        if (code == 0 && !folder.empty()) code = MoveIntoPlace(folder, jobs[i].at("into"), files);
        Emit({{"job", i}, {"event", "end"}, {"code", code}, {"bytes", bytes}, {"files", files}});
    }
    Ol_Close();
    Ol_End();
    return 0;
}

}  // namespace collect
