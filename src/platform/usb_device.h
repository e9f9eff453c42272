// The USB device of the OS layer: one open device that moves 1024-byte
// transfers, and the removal watch that learns of the device leaving.
//
// Windows opens "\\.\NAME" with overlapped I/O (a named pipe "pipe\NAME" can
// stand in for the device). POSIX opens a path ("/..." as given, any other name
// under /dev): a Unix-domain seqpacket socket, one message per transfer, or a
// character device.
//
// Waits take protocol milliseconds and are cut into 100 ms slices, each passed
// through RealWaitMs. Nothing here reads the library's cells: the caller hands
// in what it wants checked between slices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::platform {

constexpr std::size_t kUsbTransferSize = 1024;

enum class UsbIo {
    Ok,         // the transfer completed
    TimedOut,   // nothing completed within the time; the operation was cancelled
                // and has ended before the return
    Stopped,    // the stop check asked to end the wait; cancelled as for TimedOut
    Failed,     // the device is closed, was removed, or the OS call failed
};

// Asked between two 100 ms slices of a wait: true ends the wait (Stopped).
using UsbStopCheck = bool (*)();

class UsbDevice {
  public:
    UsbDevice() = default;
    // Closes the device if it is open.
    virtual ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // Hands the 1024 bytes to the device as one transfer and waits up to
    // timeoutMs for it to complete.
    virtual UsbIo Write(const std::uint8_t* transfer, std::uint32_t timeoutMs,
                        UsbStopCheck stop) = 0;

    // Waits up to timeoutMs for one transfer of at most 1024 bytes; *received
    // is its size (0 for a zero-length transfer).
    virtual UsbIo Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
                       UsbStopCheck stop) = 0;

    // Closes the device; later Write and Read fail at once. It may run on the
    // removal watch's thread while another thread waits in Write or Read: that
    // wait then ends with Failed within one slice. Closing twice does nothing.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // What the OS said of the last failed operation, for the trace.
    virtual const char* ErrorText() const = 0;

#if defined(ORV_LIB_TESTING)
    // The OS handle (HANDLE or descriptor) as a number, for tests that fake a
    // removal notification.
    virtual std::intptr_t NativeHandle() const = 0;
#endif
};

// Opens the device that name designates. Null when it does not open; then
// errorText (errorSize bytes) receives the reason.
UsbDevice* OpenUsbDevice(const char* name, char* errorText, std::size_t errorSize);

// The removal watch: a thread of the library that waits for the OS to report
// that the device has gone. It never reads from or writes to the device.
struct UsbWatch;

struct UsbWatchCallbacks {
    void* context;
    // Run on the watch's thread once it is able to report removals.
    void (*ready)(void* context);
    // Run on the watch's thread when the OS reports the device removed. The
    // callback decides whether to act and closes the device itself.
    void (*removed)(void* context);
};

// Starts watching device on a new thread. Null when the thread cannot be
// created. The device outlives the watch: free the watch first.
UsbWatch* UsbWatchStart(UsbDevice* device, const UsbWatchCallbacks& callbacks);
// Asks the thread to end; does not wait.
void UsbWatchStop(UsbWatch* watch);
// True while the thread has not ended.
bool UsbWatchRunning(UsbWatch* watch);
// Waits for the thread to end and frees the watch. Null is ignored.
void UsbWatchFree(UsbWatch* watch);

}  // namespace orv::platform
