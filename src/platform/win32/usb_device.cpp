// Windows USB device and removal watch.
//
// The device is "\\.\NAME" opened for overlapped I/O. A named pipe ("pipe\NAME")
// stands in for it in tests: it is switched to message read mode so that one
// message is one transfer, as on the device.
//
// Each Write and Read creates its own event, starts one overlapped operation on
// a buffer of the object's own, waits for it in 100 ms slices and, when it
// gives up (time-out, stop check, or the device closed under it), cancels the
// operation and waits until it has completed before returning: nothing is ever
// left pending and no buffer is still in the kernel's hands.
//
// Close may run on the removal watch's thread while the host's thread waits in
// Write or Read. The handle is not closed under a running operation: a handle
// value that is closed while a wait still uses it could be handed out again to
// an unrelated object, and the waiter would then cancel or read someone else's
// I/O. So a lock guards the handle: Close marks the device closed at once (later
// operations fail without touching the handle) and closes the handle itself
// only when no operation is running; otherwise the running operation sees the
// mark after its current slice, cancels its own I/O, waits for it, and closes
// the handle on its way out.
//
// The removal watch is a thread with a hidden window of class "wh01" named
// "SPV_Thread", registered for device notifications on the device handle. A
// WM_DEVICECHANGE that reports the removal of that very handle is passed to the
// caller's callback, which decides whether to act. A stop posts WM_DESTROY to
// the window, which ends the message loop; the thread then unregisters the
// notification, destroys its window and unregisters the class.
#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/usb_device.h"

namespace orv::platform {

namespace {

constexpr DWORD kSliceMs = 100;
constexpr std::size_t kErrorTextSize = 256;

// Fills text with the system's message for code, cut at its first line end;
// falls back to the number when the system has no message for it.
void FormatError(DWORD code, char* text, std::size_t size) {
    if (size == 0) return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, static_cast<DWORD>(size - 1), nullptr);
    if (n == 0) {
        std::snprintf(text, size, "Windows error %lu", static_cast<unsigned long>(code));
        return;
    }
    text[size - 1] = '\0';
    if (char* end = std::strpbrk(text, "\r\n")) *end = '\0';
}

class Win32UsbDevice final : public UsbDevice {
  public:
    explicit Win32UsbDevice(HANDLE handle) : handle_(handle) {}
    ~Win32UsbDevice() override { Close(); }

    UsbIo Write(const std::uint8_t* transfer, std::uint32_t timeoutMs, UsbStopCheck stop) override {
        DWORD written = 0;
        return Transfer(transfer, timeoutMs, stop, &written);
    }

    UsbIo Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
               UsbStopCheck stop) override {
        DWORD count = 0;
        const UsbIo result = Transfer(nullptr, timeoutMs, stop, &count);
        if (result == UsbIo::Ok) {
            if (count > kUsbTransferSize) count = kUsbTransferSize;
            std::memcpy(transfer, readBuffer_, count);
            *received = count;
        }
        return result;
    }

    void Close() override {
        LocalLock guard(lock_);
        closed_.store(true);
        if (busy_ == 0) CloseHandleLocked();
    }

    bool IsOpen() const override { return !closed_.load(); }

    const char* ErrorText() const override { return errorText_; }

#if defined(ORV_LIB_TESTING)
    std::intptr_t NativeHandle() const override {
        return reinterpret_cast<std::intptr_t>(CurrentHandle());
    }
#endif

    // The open device handle, or INVALID_HANDLE_VALUE once the device is closed.
    HANDLE CurrentHandle() const {
        LocalLock guard(lock_);
        return closed_.load() ? INVALID_HANDLE_VALUE : handle_;
    }

  private:
    // One overlapped operation and its event.
    struct Operation {
        explicit Operation(HANDLE h) : handle(h) {
            event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            overlapped.hEvent = event;
        }
        ~Operation() {
            if (event != nullptr) CloseHandle(event);
        }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

        HANDLE handle;
        HANDLE event = nullptr;
        OVERLAPPED overlapped{};
    };

    // Marks an operation running and hands out the handle it may use, or
    // INVALID_HANDLE_VALUE when the device is closed.
    HANDLE Begin() {
        LocalLock guard(lock_);
        if (closed_.load() || handle_ == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
        ++busy_;
        return handle_;
    }

    // The operation has ended: a Close that came meanwhile closes the handle now.
    void End() {
        LocalLock guard(lock_);
        --busy_;
        if (busy_ == 0 && closed_.load()) CloseHandleLocked();
    }

    void CloseHandleLocked() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    // One overlapped transfer of kUsbTransferSize bytes: toWrite's bytes from
    // writeBuffer_, or (toWrite null) a read into readBuffer_. *count gets the
    // bytes moved.
    UsbIo Transfer(const std::uint8_t* toWrite, std::uint32_t timeoutMs, UsbStopCheck stop,
                   DWORD* count) {
        HANDLE handle = Begin();
        if (handle == INVALID_HANDLE_VALUE) return Closed();
        if (toWrite != nullptr) std::memcpy(writeBuffer_, toWrite, kUsbTransferSize);
        Operation op(handle);
        UsbIo result = UsbIo::Failed;
        if (op.event == nullptr) {
            NoteError(GetLastError());
        } else {
            DWORD ignored = 0;
            const auto size = static_cast<DWORD>(kUsbTransferSize);
            const BOOL done = toWrite != nullptr
                                  ? WriteFile(handle, writeBuffer_, size, &ignored, &op.overlapped)
                                  : ReadFile(handle, readBuffer_, size, &ignored, &op.overlapped);
            result = Finish(op, done, timeoutMs, stop, count);
        }
        End();
        return result;
    }

    // Waits for the started operation (started says what ReadFile/WriteFile
    // returned) and collects its byte count.
    UsbIo Finish(Operation& op, BOOL started, std::uint32_t timeoutMs, UsbStopCheck stop,
                 DWORD* count) {
        if (!started) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                // Failed at once (a broken pipe, a message too long): nothing is pending.
                NoteError(error);
                return UsbIo::Failed;
            }
            UsbIo waited = WaitInSlices(op, timeoutMs, stop);
            if (waited != UsbIo::Ok) {
                CancelAndWait(op);
                return waited;
            }
        }
        if (!GetOverlappedResult(op.handle, &op.overlapped, count, TRUE)) {
            NoteError(GetLastError());
            return UsbIo::Failed;
        }
        return UsbIo::Ok;
    }

    // Ok once the event is signalled; TimedOut, Stopped or Failed (device
    // closed meanwhile, or the wait itself failed) with the operation still
    // to be cancelled.
    UsbIo WaitInSlices(Operation& op, std::uint32_t timeoutMs, UsbStopCheck stop) {
        std::uint32_t remaining = timeoutMs;
        for (;;) {
            bool last = remaining <= kSliceMs;
            std::uint32_t slice = last ? remaining : kSliceMs;
            DWORD r = WaitForSingleObject(op.event, RealWaitMs(slice));
            if (r == WAIT_OBJECT_0) return UsbIo::Ok;
            if (r != WAIT_TIMEOUT) {
                NoteError(GetLastError());
                return UsbIo::Failed;
            }
            if (last) return UsbIo::TimedOut;
            remaining -= kSliceMs;
            if (closed_.load()) {
                std::snprintf(errorText_, sizeof errorText_, "device closed during the wait");
                return UsbIo::Failed;
            }
            if (stop != nullptr && stop()) return UsbIo::Stopped;
        }
    }

    // Cancels the operation (issued on this thread) and waits until it has
    // completed, whether cancelled or finished just before the cancel.
    void CancelAndWait(Operation& op) {
        CancelIo(op.handle);
        DWORD ignored = 0;
        GetOverlappedResult(op.handle, &op.overlapped, &ignored, TRUE);
    }

    UsbIo Closed() {
        std::snprintf(errorText_, sizeof errorText_, "device closed");
        return UsbIo::Failed;
    }

    void NoteError(DWORD code) {
        FormatError(code, errorText_, sizeof errorText_);
    }

    mutable LocalMutex lock_;
    HANDLE handle_;                    // under lock_
    int busy_ = 0;                     // operations running, under lock_
    std::atomic<bool> closed_{false};  // written under lock_, read anywhere
    std::uint8_t writeBuffer_[kUsbTransferSize] = {};
    std::uint8_t readBuffer_[kUsbTransferSize] = {};
    char errorText_[kErrorTextSize] = {};
};

}  // namespace

UsbDevice* OpenUsbDevice(const char* name, char* errorText, std::size_t errorSize) {
    if (errorText != nullptr && errorSize != 0) errorText[0] = '\0';
    char path[4 + 256];
    int length = std::snprintf(path, sizeof path, "\\\\.\\%s", name != nullptr ? name : "");
    if (name == nullptr || length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        if (errorText != nullptr && errorSize != 0) {
            std::snprintf(errorText, errorSize, "device name missing or too long");
        }
        return nullptr;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (errorText != nullptr) FormatError(GetLastError(), errorText, errorSize);
        return nullptr;
    }
    if (GetFileType(handle) == FILE_TYPE_PIPE) {
        // A pipe read in byte mode would merge transfers: keep message bounds.
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(handle, &mode, nullptr, nullptr)) {
            if (errorText != nullptr) FormatError(GetLastError(), errorText, errorSize);
            CloseHandle(handle);
            return nullptr;
        }
    }
    auto* device = new (std::nothrow) Win32UsbDevice(handle);
    if (device == nullptr) {
        CloseHandle(handle);
        if (errorText != nullptr) FormatError(ERROR_NOT_ENOUGH_MEMORY, errorText, errorSize);
    }
    return device;
}

struct UsbWatch {
    UsbDevice* device = nullptr;
    UsbWatchCallbacks callbacks{};
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> stopRequested{false};
};

namespace {

constexpr char kClassName[] = "wh01";
constexpr char kWindowName[] = "SPV_Thread";

// Any object of this module: its address names the module to the loader.
constexpr char kModuleAnchor = 0;

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        &kModuleAnchor, &module);
    return module;
}

// The handle the watch compares notifications with: the device's open handle,
// INVALID_HANDLE_VALUE when it is closed or not a Windows device.
HANDLE WatchedHandle(UsbWatch* watch) {
    auto* device = dynamic_cast<Win32UsbDevice*>(watch->device);
    return device != nullptr ? device->CurrentHandle() : INVALID_HANDLE_VALUE;
}

LPCSTR SystemResource(WORD id) {
    return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(id));
}

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    if (message != WM_DEVICECHANGE) return DefWindowProcA(window, message, wParam, lParam);
    auto* watch = reinterpret_cast<UsbWatch*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (watch == nullptr || wParam != DBT_DEVICEREMOVECOMPLETE || lParam == 0) return 0;
    // Another process can send this message; the structure is copied across
    // by its declared size, so the handle field is read only when it is there.
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + sizeof(HANDLE)) return 0;
    const auto* notice = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam);
    HANDLE watched = WatchedHandle(watch);
    if (watched == INVALID_HANDLE_VALUE || notice->dbch_handle != watched) return 0;
    if (watch->callbacks.removed != nullptr) watch->callbacks.removed(watch->callbacks.context);
    return 0;
}

DWORD WINAPI WatchThread(LPVOID parameter) {
    auto* watch = static_cast<UsbWatch*>(parameter);
    HINSTANCE instance = ModuleInstance();
    // Gives the thread its message queue now, so that a stop posted to the
    // thread before the window exists is not lost.
    MSG msg{};
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    WNDCLASSEXA found{};
    found.cbSize = sizeof found;
    if (!GetClassInfoExA(instance, kClassName, &found)) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.style = 0;
        wc.lpfnWndProc = MonitorWndProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(nullptr, SystemResource(32512));      // IDI_APPLICATION
        wc.hIconSm = LoadIconA(nullptr, SystemResource(32517));    // IDI_WINLOGO
        wc.hCursor = LoadCursorA(nullptr, SystemResource(32512));  // IDC_ARROW
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = kClassName;
        // Without the class there is no window: the thread ends without
        // reporting ready, and the opener gives up.
        if (RegisterClassExA(&wc) == 0) return 0;
    }

    HWND window = CreateWindowExA(0, kClassName, kWindowName, WS_POPUP, 100, 100, 100, 100, nullptr,
                                  nullptr, instance, nullptr);
    HDEVNOTIFY notification = nullptr;
    if (window != nullptr) {
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(watch));
        DEV_BROADCAST_HANDLE filter{};
        filter.dbch_size = sizeof filter;
        filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
        filter.dbch_handle = WatchedHandle(watch);
        notification = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    // Published before the stop flag is read: a stop either sees the window
    // and posts to it, or is seen here.
    watch->window.store(window);
    if (watch->callbacks.ready != nullptr) watch->callbacks.ready(watch->callbacks.context);

    // The loop takes posted messages of the window and of the thread (a stop
    // that found no window posts WM_QUIT to the thread); sent messages, such
    // as device notifications, are handled inside GetMessageA.
    while (!watch->stopRequested.load()) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (msg.message == WM_DESTROY) {
            PostQuitMessage(0);
            break;
        }
        DispatchMessageA(&msg);
    }

    if (notification != nullptr) UnregisterDeviceNotification(notification);
    if (window != nullptr) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    UnregisterClassA(kClassName, instance);
    return 0;
}

}  // namespace

UsbWatch* UsbWatchStart(UsbDevice* device, const UsbWatchCallbacks& callbacks) {
    auto* watch = new (std::nothrow) UsbWatch{};
    if (watch == nullptr) return nullptr;
    watch->device = device;
    watch->callbacks = callbacks;
    watch->thread = CreateThread(nullptr, 0, WatchThread, watch, 0, &watch->threadId);
    if (watch->thread == nullptr) {
        delete watch;
        return nullptr;
    }
    return watch;
}

void UsbWatchStop(UsbWatch* watch) {
    if (watch == nullptr) return;
    watch->stopRequested.store(true);
    if (HWND window = watch->window.load()) {
        PostMessageA(window, WM_DESTROY, 0, 0);
    } else {
        // No window (yet, or its creation failed): the thread either sees the
        // flag before its loop or, with a queue already, gets this quit.
        PostThreadMessageA(watch->threadId, WM_QUIT, 0, 0);
    }
}

bool UsbWatchRunning(UsbWatch* watch) {
    if (watch == nullptr) return false;
    DWORD code = 0;
    return GetExitCodeThread(watch->thread, &code) && code == STILL_ACTIVE;
}

void UsbWatchFree(UsbWatch* watch) {
    if (watch == nullptr) return;
    // The window procedure reaches the device: the watch goes only once the
    // thread has ended.
    WaitForSingleObject(watch->thread, INFINITE);
    CloseHandle(watch->thread);
    delete watch;
}

}  // namespace orv::platform
