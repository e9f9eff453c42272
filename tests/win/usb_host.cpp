// The Windows USB device and removal watch of the platform layer under wine64,
// on a message-mode named pipe that this program serves in place of the
// device: transfers both ways, a read that times out leaving nothing pending,
// a write that times out on a full pipe, a stopped read, a close from another
// thread during a wait, the server's close as a removal; then the watch's
// hidden window and its handling of device-change notifications, and a second
// start after a stop. Last, through the exports of the library's test build
// (which reaches the device's handle): a removal inside Ol_WriteRead is
// ignored, one while idle closes the device.
#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "host_check.h"
#include "platform/clock.h"
#include "platform/usb_device.h"
#include "usb/usb_cells.h"

using orv::platform::OpenUsbDevice;
using orv::platform::UsbDevice;
using orv::platform::UsbIo;

namespace {

// The device opened on a new pipe, whose server end goes to *server.
UsbDevice* Open(HANDLE* server) {
    char name[64], error[256] = "";
    *server = pipe_serve(name);
    UsbDevice* device = OpenUsbDevice(name, error, sizeof error);
    if (device == nullptr) std::printf("open %s: %s\n", name, error);
    check(device != nullptr, "open the pipe as the USB device");
    if (device != nullptr) pipe_connect(*server);
    return device;
}

UsbIo ReadText(UsbDevice* device, std::string* text, std::uint32_t timeoutMs) {
    std::uint8_t buffer[1024];
    std::size_t got = 99999;
    UsbIo r = device->Read(buffer, &got, timeoutMs, nullptr);
    text->assign(reinterpret_cast<const char*>(buffer), r == UsbIo::Ok ? got : 0);
    return r;
}

UsbIo WriteText(UsbDevice* device, const char* text) {
    std::uint8_t transfer[1024] = {};
    std::memcpy(transfer, text, std::strlen(text));
    return device->Write(transfer, 45000, nullptr);
}

void Transfers() {
    HANDLE server;
    UsbDevice* device = Open(&server);
    if (device == nullptr) return;
    std::string pattern(1024, '\0'), in;
    for (std::size_t i = 0; i < 1024; ++i) pattern[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    check(device->Write(reinterpret_cast<const std::uint8_t*>(pattern.data()), 45000, nullptr) ==
              UsbIo::Ok,
          "1024-byte write");
    char message[1024];
    check(pipe_get(server, message) == 1024 && pattern.compare(0, 1024, message, 1024) == 0,
          "the write arrives as one message");
    // Three messages queued: each is still read alone.
    const std::string kShort("\0\5ABCDE", 7), kLast("\0\2OK", 4);
    pipe_put(server, "", 0);
    pipe_put(server, pattern.data(), 1024);
    pipe_put(server, kShort.data(), 7);
    check(ReadText(device, &in, 45000) == UsbIo::Ok && in.empty(), "zero-length message read");
    check(ReadText(device, &in, 45000) == UsbIo::Ok && in == pattern, "1024-byte message read");
    check(ReadText(device, &in, 45000) == UsbIo::Ok && in == kShort, "a short message, its size");

    // The full 45 s time-out, 100 times faster: 450 slices, then the read is
    // cancelled; the message sent after it must reach the next read whole.
    orv::platform::SetTimeScale(100);
    DWORD start = GetTickCount();
    check(ReadText(device, &in, 45000) == UsbIo::TimedOut, "read times out with nothing sent");
    check(GetTickCount() - start >= 400, "the time-out lasts its 450 slices");
    orv::platform::SetTimeScale(1);
    pipe_put(server, kLast.data(), 4);
    check(ReadText(device, &in, 45000) == UsbIo::Ok && in == kLast,
          "the message after a cancelled read arrives whole");

    // The server closes its end: the device is gone.
    CloseHandle(server);
    check(ReadText(device, &in, 45000) == UsbIo::Failed, "read after the server closed fails");
    check(WriteText(device, "late") == UsbIo::Failed, "write after the server closed fails");
    check(device->ErrorText()[0] != '\0', "the failure has an error text");
    delete device;
}

// A device that takes nothing: once the pipe is full a write times out, and
// the host's next write is not held up by the one it gave up on.
void WriteTimesOut() {
    HANDLE server;
    UsbDevice* device = Open(&server);
    if (device == nullptr) return;
    orv::platform::SetTimeScale(100);
    UsbIo r = UsbIo::Ok;
    for (int i = 0; i < 64 && r == UsbIo::Ok; ++i) r = WriteText(device, "fill");
    check(r == UsbIo::TimedOut, "a write times out on a full pipe");
    check(WriteText(device, "again") == UsbIo::TimedOut, "and so does the next one");
    orv::platform::SetTimeScale(1);
    delete device;
    CloseHandle(server);
}

std::atomic<int> g_stopAsked{0};
bool StopOnThirdAsk() {
    return ++g_stopAsked >= 3;
}

UsbDevice* g_closing = nullptr;
DWORD WINAPI CloseSoon(LPVOID) {
    Sleep(300);
    g_closing->Close();
    return 0;
}

void StopAndClose() {
    HANDLE server;
    UsbDevice* device = Open(&server);
    if (device == nullptr) return;
    std::uint8_t buffer[1024];
    std::size_t got = 0;
    check(device->Read(buffer, &got, 45000, StopOnThirdAsk) == UsbIo::Stopped,
          "the stop check ends a read");
    check(g_stopAsked.load() == 3, "the stop check is asked between slices");

    // Another thread closes the device during a wait: the wait ends within a
    // slice, far from its 45 s, and so does every later operation.
    g_closing = device;
    HANDLE closer = CreateThread(nullptr, 0, CloseSoon, nullptr, 0, nullptr);
    DWORD start = GetTickCount();
    check(device->Read(buffer, &got, 45000, nullptr) == UsbIo::Failed,
          "a close during a read fails it");
    check(GetTickCount() - start < 20000, "the closed read ends promptly");
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    check(!device->IsOpen(), "closed");
    check(WriteText(device, "x") == UsbIo::Failed, "write on a closed device fails");
    device->Close();
    delete device;
    CloseHandle(server);
}

struct WatchState {
    HANDLE ready;
    UsbDevice* device;
    std::atomic<int> removed{0};
};

void OnReady(void* context) {
    SetEvent(static_cast<WatchState*>(context)->ready);
}

void OnRemoved(void* context) {
    auto* state = static_cast<WatchState*>(context);
    ++state->removed;
    state->device->Close();
}

LRESULT SendDeviceChange(HWND window, WPARAM event, HANDLE handle, DWORD size) {
    DEV_BROADCAST_HANDLE notice{};
    notice.dbch_size = size;
    notice.dbch_devicetype = DBT_DEVTYP_HANDLE;
    notice.dbch_handle = handle;
    return SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

void Watch() {
    HANDLE server;
    UsbDevice* device = Open(&server);
    if (device == nullptr) return;
    HANDLE handle = reinterpret_cast<HANDLE>(device->NativeHandle());
    WatchState state;
    state.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    state.device = device;
    orv::platform::UsbWatchCallbacks callbacks{&state, OnReady, OnRemoved};

    for (int round = 0; round < 2; ++round) {
        ResetEvent(state.ready);
        orv::platform::UsbWatch* watch = orv::platform::UsbWatchStart(device, callbacks);
        check(watch != nullptr, "the watch starts");
        if (watch == nullptr) break;
        check(WaitForSingleObject(state.ready, 20000) == WAIT_OBJECT_0, "the watch reports ready");
        HWND window = FindWindowA("wh01", "SPV_Thread");
        check(window != nullptr, "the monitor window exists while watching");
        check(orv::platform::UsbWatchRunning(watch), "the watch runs");
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        check(GetClassInfoExA(GetModuleHandleA(nullptr), "wh01", &wc) && wc.cbWndExtra == 0 &&
                  wc.hCursor != nullptr && wc.hIconSm != nullptr,
              "class wh01 registered on the module");
        if (round == 0 && window != nullptr) {
            const DWORD full = sizeof(DEV_BROADCAST_HANDLE);
            SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, state.ready, full);
            SendDeviceChange(window, DBT_DEVICEQUERYREMOVE, handle, full);
            SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, handle,
                             offsetof(DEV_BROADCAST_HANDLE, dbch_handle));
            check(state.removed.load() == 0 && device->IsOpen(),
                  "another handle, another event, a cut notice are ignored");
            SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, handle, full);
            check(state.removed.load() == 1 && !device->IsOpen(),
                  "the device's removal is reported and closes it");
            SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, handle, full);
            check(state.removed.load() == 1, "a closed device is not reported again");
        }
        orv::platform::UsbWatchStop(watch);
        orv::platform::UsbWatchFree(watch);
        check(FindWindowA("wh01", "SPV_Thread") == nullptr, "the window is gone after the stop");
        check(!GetClassInfoExA(GetModuleHandleA(nullptr), "wh01", &wc), "class unregistered");
    }

    // A stop right after the start, before the thread may have its window.
    orv::platform::UsbWatch* watch = orv::platform::UsbWatchStart(device, callbacks);
    orv::platform::UsbWatchStop(watch);
    orv::platform::UsbWatchFree(watch);
    check(FindWindowA("wh01", "SPV_Thread") == nullptr, "an early stop leaves no window");

    CloseHandle(state.ready);
    delete device;
    CloseHandle(server);
}

std::uint32_t g_exchangeResult = 0;
DWORD WINAPI ReceiveExchange(LPVOID) {
    char headerPath[] = "usb_host_header.txt";
    char dataPath[] = "usb_host_data.txt";
    ExchangeRequest request{};
    request.selection = 2;  // no selection: the exchange waits for a header
    HeaderFileDesc header = {0, headerPath, 0};
    DataFileDesc data = {0, 0, dataPath, 0};
    g_exchangeResult = Ol_WriteRead(&request, &header, &data);
    return 0;
}

void RemovalThroughExports() {
    char name[64];
    HANDLE server = pipe_serve(name);
    Ol_Initialize();
    UsbOpenRecord open = {name};
    check(Ol_Open_USB(&open) == 0, "Ol_Open_USB");
    pipe_connect(server);
    HWND window = FindWindowA("wh01", "SPV_Thread");
    auto handle = reinterpret_cast<HANDLE>(orv::usb::testing::DeviceHandle());
    check(window != nullptr && orv::usb::testing::RunValue() == 2, "open and armed");
    if (window == nullptr) {
        Ol_End();
        CloseHandle(server);
        return;
    }

    // Inside Ol_WriteRead the monitor leaves the device alone.
    HANDLE exchange = CreateThread(nullptr, 0, ReceiveExchange, nullptr, 0, nullptr);
    for (int i = 0; i < 200 && orv::usb::testing::RunValue() != 1; ++i) Sleep(50);
    check(orv::usb::testing::RunValue() == 1, "not armed during Ol_WriteRead");
    const DWORD full = sizeof(DEV_BROADCAST_HANDLE);
    SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, handle, full);
    check(orv::usb::testing::DeviceOpen(), "a removal during Ol_WriteRead is ignored");
    Ol_Cancel(1);
    check(WaitForSingleObject(exchange, 20000) == WAIT_OBJECT_0 && g_exchangeResult == OL_CANCELLED,
          "the waiting exchange ends with 36 on a cancel");
    CloseHandle(exchange);
    Ol_Cancel(0);
    check(orv::usb::testing::RunValue() == 2, "armed again after the exchange");

    // Idle: the device's removal closes it and the next Ol_Write fails at once.
    SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, handle, full);
    check(!orv::usb::testing::DeviceOpen(), "the device's removal closes it");
    put_text("usb_host_send.bin", "ABC");
    char sendPath[] = "usb_host_send.bin";
    SendFileDesc send = {sendPath, 0};
    DWORD start = GetTickCount();
    check(Ol_Write(&send) == OL_USB_WRITE, "Ol_Write after the removal gives 88");
    check(GetTickCount() - start < 5000, "at once, not after a 45 s wait");
    check(Ol_Close() == 0, "Ol_Close after the removal");
    Ol_End();
    CloseHandle(server);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    Transfers();
    WriteTimesOut();
    StopAndClose();
    Watch();
    RemovalThroughExports();
    return report("usb_host");
}
