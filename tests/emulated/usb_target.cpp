// An emulated USB device for the libusb test program (run under umockdev's
// preload library by tests/emulated/run.sh), answering libusb's usbdevfs
// requests on umockdev's thread. It carries transfers to and from the
// register's seqpacket socket: claiming the interface connects, a bulk OUT URB
// is one message, a bulk IN URB waits for the next (an empty message is a
// zero-length transfer). The register hanging up is the device's removal: a
// "remove" uevent, waiting URBs end, every later request fails with ENODEV.
#include <asm/ioctl.h>
#include <fcntl.h>
#include <linux/types.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/usb_target.h"

namespace orv::test {

namespace {

constexpr char kSysfs[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr char kNode[] = "/dev/bus/usb/001/002";
// One vendor-class interface with bulk IN 0x81 and bulk OUT 0x02 of 512 bytes.
constexpr char kDescription[] =
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
    "N: bus/usb/001/002\n"
    "E: DEVNAME=/dev/bus/usb/001/002\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: PRODUCT=1234/5678/100\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=002\n"
    "E: MAJOR=189\n"
    "E: MINOR=1\n"
    "E: SUBSYSTEM=usb\n"
    "A: busnum=1\n"
    "A: devnum=2\n"
    "A: idVendor=1234\n"
    "A: idProduct=5678\n"
    "A: speed=480\n"
    "A: bConfigurationValue=1\n"
    "A: bNumInterfaces= 1\n"
    "H: descriptors=12010002000000403412785600010102030109022000010100803209040000"
    "02ff0000000705810200020007050202000200\n";

class EmulatedDevice {
  public:
    EmulatedDevice() {
        bed_ = umockdev_testbed_new();
        GError* error = nullptr;
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
        if (!umockdev_testbed_add_from_string(bed_, kDescription, &error) ||
            !umockdev_testbed_attach_ioctl(bed_, kNode, handler_, &error)) {
            std::fprintf(stderr, "emulated device: %s\n", error->message);
            std::abort();
        }
        pump_ = std::thread([this] { Pump(); });
        pump_.detach();  // lives as long as the test process
    }

    // Makes the device present (again) and connecting to socketPath.
    void Plug(const std::string& socketPath) {
        bool replug = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            socketPath_ = socketPath;
            replug = removed_;
            removed_ = false;
        }
        if (replug) umockdev_testbed_uevent(bed_, kSysfs, "add");
    }

    bool NothingPendingAfterDiscard() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waitingIn_.empty() && reapable_.empty() && discards_ > 0;
    }

  private:
    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<EmulatedDevice*>(self)->Handle(client);
        return TRUE;
    }

    void Handle(UMockdevIoctlClient* client);
    bool Connect();  // to the register; false when nobody listens
    void Disconnect() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }
    void RemoveLocked();  // the register hung up
    // Moves the oldest waiting IN URB to the reapable ones with n bytes, or
    // with status.
    void CompleteIn(const std::uint8_t* bytes, int n, int status);
    void Pump();

    UMockdevTestbed* bed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::thread pump_;
    std::mutex mutex_;
    std::string socketPath_;
    int peer_ = -1;
    bool removed_ = false;
    // A submitted URB, its buffer (resolved at the submit: a resolve reads the
    // host's memory, only possible while that request is answered) and its
    // outcome, written into the URB only when reaped: until the submit's answer
    // has reached the host, umockdev's thread still reads the URB.
    struct Urb {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        std::vector<std::uint8_t> bytes;
        int actual = 0;
        int status = 0;
    };
    std::deque<Urb> waitingIn_;
    std::deque<Urb> reapable_;
    int discards_ = 0;
};

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

bool EmulatedDevice::Connect() {
    Disconnect();
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::snprintf(at.sun_path, sizeof at.sun_path, "%s", socketPath_.c_str());
    peer_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (peer_ < 0) return false;
    if (::connect(peer_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        Disconnect();
        return false;
    }
    return true;
}

void EmulatedDevice::RemoveLocked() {
    if (removed_) return;
    removed_ = true;
    Disconnect();
    while (!waitingIn_.empty()) CompleteIn(nullptr, 0, -ESHUTDOWN);
    umockdev_testbed_uevent(bed_, kSysfs, "remove");
}

void EmulatedDevice::CompleteIn(const std::uint8_t* bytes, int n, int status) {
    Urb in = std::move(waitingIn_.front());
    waitingIn_.pop_front();
    if (in.buffer == nullptr || n < 0) n = 0;
    if (n > in.buffer->data_len) n = in.buffer->data_len;
    if (n > 0) in.bytes.assign(bytes, bytes + n);
    in.actual = n;
    in.status = status;
    reapable_.push_back(std::move(in));
}

void EmulatedDevice::Handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const gsize size = _IOC_SIZE(request);
    GError* error = nullptr;
    long result = 0;
    int err = 0;
    bool idle = false;
    auto fail = [&](int code) {
        result = -1;
        err = code;
    };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        if (removed_ && !(reap && !reapable_.empty())) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
                std::uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                     USBDEVFS_CAP_BULK_CONTINUATION;
                if (data != nullptr) {
                    umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&caps),
                                               sizeof caps);
                }
                break;
            }
            case USBDEVFS_DISCONNECT_CLAIM:  // libusb's claim with the driver detached
            case USBDEVFS_CLAIMINTERFACE:
                if (!Connect()) fail(EBUSY);
                break;
            case USBDEVFS_RELEASEINTERFACE:
                Disconnect();
                break;
            case USBDEVFS_SUBMITURB: {
                UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
                usbdevfs_urb* urb = data != nullptr ? UrbOf(data) : nullptr;
                if (urb == nullptr || urb->type != USBDEVFS_URB_TYPE_BULK) {
                    fail(urb == nullptr ? EFAULT : EINVAL);
                    break;
                }
                g_object_ref(data);
                UMockdevIoctlData* buffer =
                    urb->buffer_length == 0 ? nullptr
                                            : umockdev_ioctl_data_resolve(
                                                  data, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<gsize>(urb->buffer_length), &error);
                if ((urb->endpoint & 0x80) != 0) {
                    waitingIn_.push_back({data, buffer, {}, 0, 0});
                    break;
                }
                const ssize_t sent =
                    ::send(peer_, buffer != nullptr ? buffer->data : nullptr,
                           static_cast<std::size_t>(urb->buffer_length), MSG_NOSIGNAL);
                const int actual = sent < 0 ? 0 : static_cast<int>(sent);
                reapable_.push_back({data, nullptr, {}, actual, sent < 0 ? -EPIPE : 0});
                break;
            }
            case USBDEVFS_DISCARDURB: {
                const gulong at = *reinterpret_cast<const gulong*>(arg->data);
                auto it = std::find_if(waitingIn_.begin(), waitingIn_.end(),
                                       [at](const Urb& u) { return u.urb->client_addr == at; });
                if (it == waitingIn_.end()) {
                    fail(EINVAL);
                    break;
                }
                it->status = -ENOENT;
                reapable_.push_back(std::move(*it));
                waitingIn_.erase(it);
                ++discards_;
                break;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                if (reapable_.empty()) {
                    fail(EAGAIN);
                    idle = true;
                    break;
                }
                Urb done = std::move(reapable_.front());
                reapable_.pop_front();
                if (!done.bytes.empty()) {
                    umockdev_ioctl_data_update(done.buffer, 0, done.bytes.data(),
                                               static_cast<gint>(done.bytes.size()));
                }
                usbdevfs_urb* urb = UrbOf(done.urb);
                urb->actual_length = done.actual;
                urb->status = done.status;
                // Marks the URB changed, so the reap sends it back to the host.
                std::vector<guint8> fields(done.urb->data, done.urb->data + done.urb->data_len);
                umockdev_ioctl_data_update(done.urb, 0, fields.data(),
                                           static_cast<gint>(fields.size()));
                UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, size, &error);
                if (out != nullptr) umockdev_ioctl_data_set_ptr(out, 0, done.urb);
                g_object_unref(done.urb);
                break;
            }
            default:
                fail(ENOTTY);
                break;
        }
    }
    if (error != nullptr) g_error_free(error);
    // The node reads as always ready, so libusb asks again at once: a short
    // pause keeps the emulation from taking a whole core.
    if (idle) g_usleep(500);
    umockdev_ioctl_client_complete(client, result, err);
}

void EmulatedDevice::Pump() {
    std::vector<std::uint8_t> message(4096);
    for (;;) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = peer_;
        }
        if (fd < 0) {
            g_usleep(1000);
            continue;
        }
        pollfd p{fd, POLLRDHUP, 0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!waitingIn_.empty()) p.events |= POLLIN;
        }
        if (::poll(&p, 1, 1) <= 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd != peer_) continue;  // reconnected meanwhile
        const bool hungUp = (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
        if (!waitingIn_.empty()) {
            const ssize_t n = ::recv(fd, message.data(), message.size(), MSG_DONTWAIT);
            if (n > 0 || (n == 0 && !hungUp)) {
                CompleteIn(message.data(), static_cast<int>(n), 0);
                continue;
            }
            if (n < 0 && errno == EAGAIN && !hungUp) continue;
        }
        if (hungUp) RemoveLocked();
    }
}

EmulatedDevice& Device() {
    static EmulatedDevice* device = new EmulatedDevice;
    return *device;
}

}  // namespace

std::string UsbDeviceName(const std::string& socketPath) {
    Device().Plug(socketPath);
    return "usb:1234:5678";
}

bool UsbEmulated() {
    return true;
}

bool UsbTimedOutTransferDiscarded() {
    return Device().NothingPendingAfterDiscard();
}

}  // namespace orv::test
