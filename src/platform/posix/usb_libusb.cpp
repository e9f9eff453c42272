// A USB device through libusb-1.0: the first interface whose alternate
// setting 0 has a bulk IN and a bulk OUT endpoint, claimed with the kernel
// driver detached for as long as the device is open.
//
// Every Write and Read is one asynchronous bulk transfer waited for in 100 ms
// slices. A transfer that runs out of time, is stopped, or meets a Close is
// cancelled and its callback waited for before the call returns, so no
// transfer is ever left pending on a buffer that is gone.
//
// Each device has a libusb context of its own. The removal watch runs that
// context's events too: a hotplug "left" report for the device, or a transfer
// that ends with "no device", marks it gone.
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/posix/usb_libusb.h"

namespace orv::platform {

namespace {

constexpr std::uint32_t kSliceMs = 100;

// Runs libusb's events for realMs real milliseconds, or until *done is set.
// The flag is read here, not by libusb: the callback that sets it may run on
// the removal watch's thread, and libusb wakes this one when it has.
void HandleEventsFor(libusb_context* ctx, std::uint32_t realMs, const std::atomic<int>* done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    for (;;) {
        if (done != nullptr && done->load(std::memory_order_acquire) != 0) return;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
}

class LibusbDevice final : public UsbDevice {
  public:
    LibusbDevice(libusb_context* ctx, libusb_device_handle* handle, int interface, unsigned char in,
                 unsigned char out)
        : ctx_(ctx), handle_(handle), interface_(interface), in_(in), out_(out) {}
    ~LibusbDevice() override;

    // Registers for the device's "left" report where libusb has hotplug.
    void WatchHotplug(int vendor, int product);

    UsbIo Write(const std::uint8_t* transfer, std::uint32_t timeoutMs, UsbStopCheck stop) override;
    UsbIo Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
               UsbStopCheck stop) override;
    void Close() override {
        if (closed_.exchange(true)) return;
        // Ends a wait in libusb's events at once; the waiting call then
        // cancels its transfer.
        libusb_interrupt_event_handler(ctx_);
    }
    bool IsOpen() const override { return !closed_.load(); }
    const char* ErrorText() const override { return error_; }
#if defined(ORV_LIB_TESTING)
    std::intptr_t NativeHandle() const override {
        return reinterpret_cast<std::intptr_t>(handle_);
    }
#endif

    bool Gone(std::uint32_t realMs) {
        if (!gone_.load()) HandleEventsFor(ctx_, realMs, nullptr);
        return gone_.load();
    }

  private:
    struct Pending {
        std::atomic<int> done{0};
        libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
        int actual = 0;
    };
    static void LIBUSB_CALL Completed(libusb_transfer* transfer);
    static int LIBUSB_CALL Left(libusb_context* ctx, libusb_device* device,
                                libusb_hotplug_event event, void* self);

    UsbIo Transfer(unsigned char endpoint, std::uint8_t* buffer, int length, int* actual,
                   std::uint32_t timeoutMs, UsbStopCheck stop);
    void NoteError(const char* what, int code) {
        std::snprintf(error_, sizeof error_, "%s: %s", what, libusb_strerror(code));
    }

    libusb_context* ctx_;
    libusb_device_handle* handle_;
    int interface_;
    unsigned char in_;
    unsigned char out_;
    libusb_hotplug_callback_handle hotplug_ = 0;
    bool hotplugRegistered_ = false;
    std::atomic<bool> closed_{false};
    std::atomic<bool> gone_{false};
    char error_[256] = {};
};

LibusbDevice::~LibusbDevice() {
    Close();
    if (hotplugRegistered_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
    libusb_release_interface(handle_, interface_);
    libusb_close(handle_);  // reattaches a kernel driver it detached
    libusb_exit(ctx_);
}

void LIBUSB_CALL LibusbDevice::Completed(libusb_transfer* transfer) {
    auto* pending = static_cast<Pending*>(transfer->user_data);
    pending->status = transfer->status;
    pending->actual = transfer->actual_length;
    pending->done.store(1, std::memory_order_release);
}

int LIBUSB_CALL LibusbDevice::Left(libusb_context*, libusb_device* device, libusb_hotplug_event,
                                   void* self) {
    auto* me = static_cast<LibusbDevice*>(self);
    if (device == libusb_get_device(me->handle_)) me->gone_.store(true);
    return 0;
}

void LibusbDevice::WatchHotplug(int vendor, int product) {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) return;
    hotplugRegistered_ = libusb_hotplug_register_callback(ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                                          LIBUSB_HOTPLUG_NO_FLAGS, vendor, product,
                                                          LIBUSB_HOTPLUG_MATCH_ANY, Left, this,
                                                          &hotplug_) == LIBUSB_SUCCESS;
}

UsbIo LibusbDevice::Transfer(unsigned char endpoint, std::uint8_t* buffer, int length, int* actual,
                             std::uint32_t timeoutMs, UsbStopCheck stop) {
    if (closed_.load() || gone_.load()) {
        CopyText(error_, sizeof error_, "device closed");
        return UsbIo::Failed;
    }
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        CopyText(error_, sizeof error_, "out of memory");
        return UsbIo::Failed;
    }
    Pending pending;
    libusb_fill_bulk_transfer(transfer, handle_, endpoint, buffer, length, Completed, &pending, 0);
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted != LIBUSB_SUCCESS) {
        if (submitted == LIBUSB_ERROR_NO_DEVICE) gone_.store(true);
        NoteError("submit", submitted);
        libusb_free_transfer(transfer);
        return UsbIo::Failed;
    }
    UsbIo result = UsbIo::TimedOut;
    std::uint32_t left = timeoutMs;
    for (;;) {
        const std::uint32_t slice = left > kSliceMs ? kSliceMs : left;
        HandleEventsFor(ctx_, RealWaitMs(slice), &pending.done);
        if (pending.done.load(std::memory_order_acquire) != 0) break;
        if (closed_.load() || gone_.load()) {
            CopyText(error_, sizeof error_, "device closed");
            result = UsbIo::Failed;
            break;
        }
        left -= slice;
        if (left == 0) break;
        if (stop != nullptr && stop()) {
            result = UsbIo::Stopped;
            break;
        }
    }
    if (pending.done.load(std::memory_order_acquire) == 0) {
        // Cancel and wait for the callback: the buffer belongs to the caller.
        libusb_cancel_transfer(transfer);
        while (pending.done.load(std::memory_order_acquire) == 0)
            HandleEventsFor(ctx_, kSliceMs, &pending.done);
        // A transfer that completed while being cancelled still counts.
        if (pending.status != LIBUSB_TRANSFER_COMPLETED) {
            if (pending.status == LIBUSB_TRANSFER_NO_DEVICE) gone_.store(true);
            libusb_free_transfer(transfer);
            return result;
        }
    }
    libusb_free_transfer(transfer);
    switch (pending.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            *actual = pending.actual;
            return UsbIo::Ok;
        case LIBUSB_TRANSFER_NO_DEVICE:
            gone_.store(true);
            CopyText(error_, sizeof error_, "device removed");
            return UsbIo::Failed;
        case LIBUSB_TRANSFER_STALL:
            CopyText(error_, sizeof error_, "endpoint stalled");
            return UsbIo::Failed;
        case LIBUSB_TRANSFER_OVERFLOW:
            CopyText(error_, sizeof error_, "transfer overflow");
            return UsbIo::Failed;
        default:
            CopyText(error_, sizeof error_, "transfer failed");
            return UsbIo::Failed;
    }
}

UsbIo LibusbDevice::Write(const std::uint8_t* transfer, std::uint32_t timeoutMs,
                          UsbStopCheck stop) {
    // libusb takes a writable buffer even for OUT; the transfer is copied so
    // the caller's stays const.
    std::uint8_t copy[kUsbTransferSize];
    std::memcpy(copy, transfer, sizeof copy);
    int actual = 0;
    const UsbIo io = Transfer(out_, copy, static_cast<int>(sizeof copy), &actual, timeoutMs, stop);
    if (io == UsbIo::Ok && actual != static_cast<int>(kUsbTransferSize)) {
        CopyText(error_, sizeof error_, "short write");
        return UsbIo::Failed;
    }
    return io;
}

UsbIo LibusbDevice::Read(std::uint8_t* transfer, std::size_t* received, std::uint32_t timeoutMs,
                         UsbStopCheck stop) {
    int actual = 0;
    const UsbIo io =
        Transfer(in_, transfer, static_cast<int>(kUsbTransferSize), &actual, timeoutMs, stop);
    if (io == UsbIo::Ok) *received = static_cast<std::size_t>(actual);
    return io;
}

// Reads "VVVV:PPPP[:SERIAL]": ids of one to four hex digits, a serial of at
// most 126 characters.
bool ParseIds(const char* ids, int* vendor, int* product, char* serial, std::size_t serialSize) {
    auto hex = [](const char*& p, int* value) {
        int digits = 0;
        *value = 0;
        for (; digits < 5; ++digits, ++p) {
            const char c = *p;
            int v = -1;
            if (c >= '0' && c <= '9') v = c - '0';
            if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
            if (v < 0) break;
            *value = *value * 16 + v;
        }
        return digits >= 1 && digits <= 4;
    };
    const char* p = ids;
    if (!hex(p, vendor) || *p++ != ':' || !hex(p, product)) return false;
    serial[0] = '\0';
    if (*p == '\0') return true;
    if (*p++ != ':' || *p == '\0' || std::strlen(p) >= serialSize) return false;
    std::snprintf(serial, serialSize, "%s", p);
    return true;
}

// The first interface whose alternate setting 0 has a bulk IN and a bulk OUT
// endpoint; false when there is none.
bool FindBulkInterface(libusb_device* device, int* interface, unsigned char* in,
                       unsigned char* out) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        if (config->interface[i].num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
        int bulkIn = -1;
        int bulkOut = -1;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            const bool isIn = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
            if (isIn && bulkIn < 0) bulkIn = ep.bEndpointAddress;
            if (!isIn && bulkOut < 0) bulkOut = ep.bEndpointAddress;
        }
        if (bulkIn >= 0 && bulkOut >= 0) {
            *interface = alt.bInterfaceNumber;
            *in = static_cast<unsigned char>(bulkIn);
            *out = static_cast<unsigned char>(bulkOut);
            found = true;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

// Opens the first device with the ids (and the serial, when one is given).
// Null with errorText set when there is none or it cannot be opened.
libusb_device_handle* OpenMatching(libusb_context* ctx, int vendor, int product, const char* serial,
                                   char* errorText, std::size_t errorSize) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
        std::snprintf(errorText, errorSize, "device list: %s",
                      libusb_strerror(static_cast<int>(count)));
        return nullptr;
    }
    libusb_device_handle* found = nullptr;
    int lastError = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS) continue;
        if (desc.idVendor != vendor || desc.idProduct != product) continue;
        libusb_device_handle* handle = nullptr;
        const int r = libusb_open(list[i], &handle);
        if (r != LIBUSB_SUCCESS) {
            lastError = r;
            continue;
        }
        if (serial[0] != '\0') {
            unsigned char text[128] = {};
            const int n = desc.iSerialNumber == 0
                              ? -1
                              : libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text,
                                                                   sizeof text - 1);
            if (n < 0 || std::strcmp(reinterpret_cast<const char*>(text), serial) != 0) {
                libusb_close(handle);
                continue;
            }
        }
        found = handle;
    }
    libusb_free_device_list(list, 1);
    if (found == nullptr) {
        std::snprintf(errorText, errorSize, "usb:%04x:%04x%s%s: %s", vendor, product,
                      serial[0] != '\0' ? ":" : "", serial,
                      lastError == LIBUSB_ERROR_ACCESS      ? "not permitted"
                      : lastError == LIBUSB_ERROR_NOT_FOUND ? "no such device"
                                                            : libusb_strerror(lastError));
    }
    return found;
}

}  // namespace

UsbDevice* OpenLibusbDevice(const char* ids, char* errorText, std::size_t errorSize) {
    int vendor = 0;
    int product = 0;
    char serial[127];
    if (!ParseIds(ids, &vendor, &product, serial, sizeof serial)) {
        CopyText(errorText, errorSize, "usb: names are usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL");
        return nullptr;
    }
    libusb_context* ctx = nullptr;
    const int init = libusb_init(&ctx);
    if (init != LIBUSB_SUCCESS) {
        std::snprintf(errorText, errorSize, "libusb: %s", libusb_strerror(init));
        return nullptr;
    }
    libusb_device_handle* handle = OpenMatching(ctx, vendor, product, serial, errorText, errorSize);
    if (handle == nullptr) {
        libusb_exit(ctx);
        return nullptr;
    }
    int interface = -1;
    unsigned char in = 0;
    unsigned char out = 0;
    if (!FindBulkInterface(libusb_get_device(handle), &interface, &in, &out)) {
        CopyText(errorText, errorSize, "no interface with a bulk IN and a bulk OUT endpoint");
        libusb_close(handle);
        libusb_exit(ctx);
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(handle, 1);
    const int claimed = libusb_claim_interface(handle, interface);
    if (claimed != LIBUSB_SUCCESS) {
        std::snprintf(errorText, errorSize, "claiming interface %d: %s", interface,
                      claimed == LIBUSB_ERROR_BUSY ? "busy" : libusb_strerror(claimed));
        libusb_close(handle);
        libusb_exit(ctx);
        return nullptr;
    }
    auto* device = new (std::nothrow) LibusbDevice(ctx, handle, interface, in, out);
    if (device == nullptr) {
        CopyText(errorText, errorSize, "out of memory");
        libusb_release_interface(handle, interface);
        libusb_close(handle);
        libusb_exit(ctx);
        return nullptr;
    }
    device->WatchHotplug(vendor, product);
    return device;
}

bool IsLibusbDevice(const UsbDevice* device) {
    return dynamic_cast<const LibusbDevice*>(device) != nullptr;
}

bool LibusbDeviceGone(UsbDevice* device, std::uint32_t realMs) {
    return static_cast<LibusbDevice*>(device)->Gone(realMs);
}

}  // namespace orv::platform
