// orvctl on Windows: the console's Ctrl-C, Win32 threads and events, the
// console's width, Winsock's resolver and the COM port.
#include <winsock2.h>  // brings <windows.h> after it, in the order it needs
#include <ws2tcpip.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv_lib.h"
#include "os.h"

namespace orvctl {

namespace {

std::atomic<bool> g_cancelled{false};
std::string g_removeOnGiveUp;  // set before the handler is installed

// Runs on a thread the system starts for the event, so calling the library
// here is safe. Returning TRUE keeps the process alive until the cancelled
// call returns.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (g_cancelled.exchange(true)) {
        std::fprintf(stderr, "\norvctl: second interrupt, giving up\n");
        if (!g_removeOnGiveUp.empty()) std::remove(g_removeOnGiveUp.c_str());
        std::_Exit(130);
    }
    std::fprintf(stderr, "\norvctl: cancelling...\n");
    Ol_Cancel(1);
    return TRUE;
}

// The system's text for an error code, without its line end.
std::string ErrorText(DWORD code) {
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    return length > 0 ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace

struct CancelOnInterrupt::State {};

CancelOnInterrupt::CancelOnInterrupt(std::string removeOnGiveUp)
    : state_(std::make_unique<State>()) {
    g_removeOnGiveUp = std::move(removeOnGiveUp);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CancelOnInterrupt::~CancelOnInterrupt() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

struct Ticker::State {
    std::function<void()> tick;
    DWORD periodMs = 0;
    HANDLE stop = nullptr;  // manual-reset event: set by Stop
    HANDLE thread = nullptr;

    static DWORD WINAPI Run(LPVOID self) {
        auto* s = static_cast<State*>(self);
        while (WaitForSingleObject(s->stop, s->periodMs) == WAIT_TIMEOUT) s->tick();
        return 0;
    }
};

Ticker::Ticker(std::function<void()> tick, std::chrono::milliseconds period)
    : state_(std::make_unique<State>()) {
    state_->tick = std::move(tick);
    state_->periodMs = static_cast<DWORD>(period.count());
    state_->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (state_->stop != nullptr) {
        state_->thread = CreateThread(nullptr, 0, &State::Run, state_.get(), 0, nullptr);
    }
}

Ticker::~Ticker() {
    Stop();
    if (state_->stop != nullptr) CloseHandle(state_->stop);
}

void Ticker::Stop() {
    if (state_->thread == nullptr) return;
    SetEvent(state_->stop);
    WaitForSingleObject(state_->thread, INFINITE);
    CloseHandle(state_->thread);
    state_->thread = nullptr;
}

unsigned StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 80;
}

// The library reads files through msvcrt.dll's descriptors, which this
// program shares: the first descriptor whose file has the path gives its
// position. Each handle is duplicated first, so the library closing its
// descriptor meanwhile never leaves a handle that names another object.
long long ReadPosition(const std::string& path) {
    const int last = _getmaxstdio();
    for (int fd = 3; fd < last; ++fd) {
        auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) continue;
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            continue;
        }
        char name[MAX_PATH + 8] = "";
        DWORD length = GetFileType(own) == FILE_TYPE_DISK
                           ? GetFinalPathNameByHandleA(own, name, sizeof name, 0)
                           : 0;
        const char* plain = std::strncmp(name, "\\\\?\\", 4) == 0 ? name + 4 : name;
        LARGE_INTEGER position{};
        bool same = length > 0 && length < sizeof name && _stricmp(plain, path.c_str()) == 0 &&
                    SetFilePointerEx(own, LARGE_INTEGER{}, &position, FILE_CURRENT);
        CloseHandle(own);
        if (same) return position.QuadPart;
    }
    return -1;
}

std::string ResolveIPv4(const std::string& host, std::string* error) {
    WSADATA data{};
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        *error = "Winsock does not start: " + ErrorText(static_cast<DWORD>(rc));
        return "";
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::string dotted;
    if (rc != 0 || found == nullptr) {
        *error = ErrorText(static_cast<DWORD>(rc));
    } else {
        const auto* bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        dotted = text;
        freeaddrinfo(found);
    }
    WSACleanup();
    return dotted;
}

// GetTempFileNameA creates the file with a name no other file has, in the
// user's own temporary folder, which only that user (and administrators) can
// open.
std::string NewPrivateTempFile() {
    char dir[MAX_PATH + 1] = "";
    DWORD length = GetTempPathA(sizeof dir, dir);
    if (length == 0 || length > MAX_PATH) return "";
    char name[MAX_PATH + 1] = "";
    if (GetTempFileNameA(dir, "orv", 0, name) == 0) return "";
    return name;
}

// _putenv changes the C runtime's copy that the library reads with getenv
// (both use msvcrt.dll) and the process's own environment.
void SetVariable(const char* name, const std::string& value) {
    std::string entry = std::string(name) + "=" + value;
    _putenv(entry.c_str());
}

void UnsetVariable(const char* name) {
    std::string entry = std::string(name) + "=";
    _putenv(entry.c_str());
}

std::string SerialDevicePath(unsigned port) {
    return "\\\\.\\COM" + std::to_string(port);
}

std::string ProbeSerialDevice(unsigned port, unsigned lineMode) {
    std::string path = SerialDevicePath(port);
    std::string named = "COM" + std::to_string(port);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return named + ": " + ErrorText(GetLastError());
    std::string problem;
    DCB state{};
    state.DCBlength = sizeof state;
    DWORD lines = 0;
    if (!GetCommState(handle, &state)) {
        problem = named + ": not a serial device";
    } else if (lineMode != 2 && (!GetCommModemStatus(handle, &lines) ||
                                 (lines & (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON)) == 0)) {
        problem = named +
                  ": this port has no modem lines (DSR, CTS and carrier read off): "
                  "use --line-mode 2";
    }
    CloseHandle(handle);
    return problem;
}

}  // namespace orvctl
