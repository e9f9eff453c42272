// POSIX USB device: a Unix-domain seqpacket socket (one message per transfer,
// as a stand-in for the device in tests and in the simulator) or a character
// device, both non-blocking with poll waits.
//
// A seqpacket recv returns 0 both for an empty message and after the peer has
// closed; the peer's close is told apart by POLLHUP/POLLRDHUP, since it is the
// removal of the device and must not read as an endless run of empty
// transfers.
//
// Close may run on the removal watch's thread while the host's thread waits:
// it marks the device closed and wakes every wait through an eventfd; the
// descriptor itself stays open until the object is destroyed, so no wait ever
// polls a descriptor number that has been reused.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/posix/usb_libusb.h"
#include "platform/sync.h"
#include "platform/usb_device.h"

namespace orv::platform {

namespace {

constexpr std::uint32_t kSliceMs = 100;

// poll that starts its slice again after a signal.
int PollRetry(pollfd* fds, nfds_t count, std::uint32_t realMs) {
    for (;;) {
        const int r = poll(fds, count, static_cast<int>(realMs));
        if (r >= 0 || errno != EINTR) return r;
    }
}

class PosixUsbDevice final : public UsbDevice {
  public:
    PosixUsbDevice(int fd, int wake, bool socket, const char* path)
        : fd_(fd), wake_(wake), socket_(socket) {
        CopyText(path_, sizeof path_, path);
    }
    ~PosixUsbDevice() override {
        Close();
        ::close(fd_);
        ::close(wake_);
    }

    UsbIo Write(const std::uint8_t* transfer, std::uint32_t timeoutMs, UsbStopCheck stop) override;
    UsbIo Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
               UsbStopCheck stop) override;
    void Close() override {
        if (closed_.exchange(true)) return;
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    }
    bool IsOpen() const override { return !closed_.load(); }
    const char* ErrorText() const override { return error_; }
#if defined(ORV_LIB_TESTING)
    std::intptr_t NativeHandle() const override {
        return fd_;
    }
#endif

    int Descriptor() const {
        return fd_;
    }
    int WakeDescriptor() const {
        return wake_;
    }
    bool IsSocket() const {
        return socket_;
    }
    const char* Path() const {
        return path_;
    }

  private:
    // Waits one slice for events on the device. Returns the device's revents,
    // or -1 when the device was closed meanwhile or poll failed.
    int WaitSlice(short events, std::uint32_t ms);
    void NoteError(const char* what) {
        std::snprintf(error_, sizeof error_, "%s: %s", what, std::strerror(errno));
    }

    int fd_;
    int wake_;
    bool socket_;
    std::atomic<bool> closed_{false};
    char path_[256] = {};
    char error_[256] = {};
};

int PosixUsbDevice::WaitSlice(short events, std::uint32_t ms) {
    pollfd fds[2] = {};
    fds[0].fd = fd_;
    fds[0].events = events;
    fds[1].fd = wake_;
    fds[1].events = POLLIN;
    const int r = PollRetry(fds, 2, RealWaitMs(ms));
    if (r < 0) {
        NoteError("poll");
        return -1;
    }
    if (closed_.load() || fds[1].revents != 0) {
        CopyText(error_, sizeof error_, "device closed");
        return -1;
    }
    return fds[0].revents;
}

UsbIo PosixUsbDevice::Write(const std::uint8_t* transfer, std::uint32_t timeoutMs,
                            UsbStopCheck stop) {
    std::uint32_t left = timeoutMs;
    for (;;) {
        if (closed_.load()) return UsbIo::Failed;
        const std::uint32_t slice = left > kSliceMs ? kSliceMs : left;
        const int revents = WaitSlice(POLLOUT, slice);
        if (revents < 0) return UsbIo::Failed;
        if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            CopyText(error_, sizeof error_, "device hung up");
            return UsbIo::Failed;
        }
        if ((revents & POLLOUT) != 0) {
            const ssize_t n = socket_ ? ::send(fd_, transfer, kUsbTransferSize, MSG_NOSIGNAL)
                                      : ::write(fd_, transfer, kUsbTransferSize);
            if (n == static_cast<ssize_t>(kUsbTransferSize)) return UsbIo::Ok;
            if (n >= 0) {
                CopyText(error_, sizeof error_, "short write");
                return UsbIo::Failed;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                NoteError("write");
                return UsbIo::Failed;
            }
        }
        left -= slice;
        if (left == 0) return UsbIo::TimedOut;
        if (stop != nullptr && stop()) return UsbIo::Stopped;
    }
}

UsbIo PosixUsbDevice::Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
                           UsbStopCheck stop) {
    std::uint32_t left = timeoutMs;
    for (;;) {
        if (closed_.load()) return UsbIo::Failed;
        const std::uint32_t slice = left > kSliceMs ? kSliceMs : left;
        const int revents = WaitSlice(POLLIN | POLLRDHUP, slice);
        if (revents < 0) return UsbIo::Failed;
        const bool hungUp = (revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
        if ((revents & POLLIN) != 0 || hungUp) {
            const ssize_t n = socket_ ? ::recv(fd_, transfer, kUsbTransferSize, MSG_DONTWAIT)
                                      : ::read(fd_, transfer, kUsbTransferSize);
            if (n > 0) {
                *received = static_cast<std::size_t>(n);
                return UsbIo::Ok;
            }
            if (n == 0 && !hungUp) {
                // An empty message, not the end: the peer is still there.
                *received = 0;
                return UsbIo::Ok;
            }
            if (hungUp || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                if (n < 0 && !hungUp) NoteError("read");
                if (hungUp) CopyText(error_, sizeof error_, "device hung up");
                return UsbIo::Failed;
            }
        }
        left -= slice;
        if (left == 0) return UsbIo::TimedOut;
        if (stop != nullptr && stop()) return UsbIo::Stopped;
    }
}

// Connects to the seqpacket socket at path; -1 on failure (errno set).
int ConnectSeqpacket(const char* path) {
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof at.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(at.sun_path, path, std::strlen(path) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

UsbDevice* OpenUsbDevice(const char* name, char* errorText, std::size_t errorSize) {
    if (name == nullptr || name[0] == '\0') {
        CopyText(errorText, errorSize, "no device name");
        return nullptr;
    }
    if (std::strncmp(name, "usb:", 4) == 0) return OpenLibusbDevice(name + 4, errorText, errorSize);
    char path[272];
    std::snprintf(path, sizeof path, name[0] == '/' ? "%s" : "/dev/%s", name);
    struct stat st {};
    if (::stat(path, &st) != 0) {
        std::snprintf(errorText, errorSize, "%s: %s", path, std::strerror(errno));
        return nullptr;
    }
    const bool socket = S_ISSOCK(st.st_mode);
    const int fd =
        socket ? ConnectSeqpacket(path) : ::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(errorText, errorSize, "%s: %s", path, std::strerror(errno));
        return nullptr;
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        std::snprintf(errorText, errorSize, "eventfd: %s", std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    auto* device = new (std::nothrow) PosixUsbDevice(fd, wake, socket, path);
    if (device == nullptr) {
        CopyText(errorText, errorSize, "out of memory");
        ::close(fd);
        ::close(wake);
    }
    return device;
}

// The removal watch: polls the device's descriptor without asking for input
// (only hang-up and error are reported, nothing is read), and for a character
// device checks that its path still exists. It reports a removal once, then
// waits to be stopped.
struct UsbWatch {
    PosixUsbDevice* device = nullptr;
    UsbDevice* libusbDevice = nullptr;  // set instead of device for "usb:" names
    UsbWatchCallbacks callbacks{};
    int stop = -1;  // eventfd: readable once UsbWatchStop has run
    Thread* thread = nullptr;
};

namespace {

bool PathGone(const char* path) {
    struct stat st {};
    return ::stat(path, &st) != 0 && errno == ENOENT;
}

// The watch of a libusb device runs the device's libusb events in slices.
void LibusbWatchMain(UsbWatch* watch) {
    bool reported = false;
    for (;;) {
        pollfd stop{watch->stop, POLLIN, 0};
        if (PollRetry(&stop, 1, 0) < 0 || stop.revents != 0) return;
        if (reported) {
            PollRetry(&stop, 1, RealWaitMs(kSliceMs));
            continue;
        }
        if (LibusbDeviceGone(watch->libusbDevice, RealWaitMs(kSliceMs))) {
            reported = true;
            watch->callbacks.removed(watch->callbacks.context);
        }
    }
}

void WatchMain(void* arg) {
    auto* watch = static_cast<UsbWatch*>(arg);
    watch->callbacks.ready(watch->callbacks.context);
    if (watch->libusbDevice != nullptr) {
        LibusbWatchMain(watch);
        return;
    }
    bool reported = false;
    for (;;) {
        pollfd fds[2] = {};
        fds[0].fd = reported ? -1 : watch->device->Descriptor();
        fds[0].events = watch->device->IsSocket() ? POLLRDHUP : 0;
        fds[1].fd = watch->stop;
        fds[1].events = POLLIN;
        if (PollRetry(fds, 2, RealWaitMs(kSliceMs)) < 0) return;
        if (fds[1].revents != 0) return;
        if (reported) continue;
        const bool gone = (fds[0].revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0 ||
                          (!watch->device->IsSocket() && PathGone(watch->device->Path()));
        if (gone) {
            reported = true;
            watch->callbacks.removed(watch->callbacks.context);
        }
    }
}

}  // namespace

UsbWatch* UsbWatchStart(UsbDevice* device, const UsbWatchCallbacks& callbacks) {
    auto* watch = new (std::nothrow) UsbWatch{};
    if (watch == nullptr) return nullptr;
    if (IsLibusbDevice(device)) {
        watch->libusbDevice = device;
    } else {
        watch->device = static_cast<PosixUsbDevice*>(device);
    }
    watch->callbacks = callbacks;
    watch->stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch->stop >= 0) watch->thread = ThreadStart(WatchMain, watch);
    if (watch->thread == nullptr) {
        if (watch->stop >= 0) ::close(watch->stop);
        delete watch;
        return nullptr;
    }
    return watch;
}

void UsbWatchStop(UsbWatch* watch) {
    if (watch == nullptr) return;
    const std::uint64_t one = 1;
    (void)!::write(watch->stop, &one, sizeof one);
}

bool UsbWatchRunning(UsbWatch* watch) {
    return watch != nullptr && ThreadRunning(watch->thread);
}

void UsbWatchFree(UsbWatch* watch) {
    if (watch == nullptr) return;
    UsbWatchStop(watch);
    ThreadJoin(watch->thread);
    ::close(watch->stop);
    delete watch;
}

}  // namespace orv::platform
