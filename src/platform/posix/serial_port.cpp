// POSIX serial port over termios.
//
// COM port n is the device named by the environment variable ORV_LIB_COM<n>
// when it is set, else /dev/ttyS<n-1> (COM1 is /dev/ttyS0, as Wine maps it).
// The device is opened without becoming the controlling terminal and without
// waiting for carrier, made exclusive (TIOCEXCL), and set raw: 7 data bits, odd
// parity with parity checking, 1 stop bit, modem lines ignored by the kernel
// (CLOCAL, no hardware or software flow control), reads that return at once.
// The settings found at open are restored at close.
//
// Modem lines go through TIOCMBIS/TIOCMBIC/TIOCMGET. A device without modem
// lines (a pty, some adapters) fails the query, which reads as every line off:
// such a device needs line mode 2. A failed write reports ERROR_WRITE_FAULT
// (29), never an errno, so that it cannot collide with a result code.
//
// A write returns once the byte is in the kernel's output queue; WaitSent then
// watches that queue (TIOCOUTQ) and, where the driver tells, the transmitter
// (TIOCSERGETLSR), sleeping about one character time between looks. It never
// blocks in tcdrain, which no limit and no cancel could end when the far end
// holds the line. A pty reports an empty queue at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace orv::platform {

namespace {

constexpr speed_t kSpeeds[7] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200};
constexpr long kBitsPerSecond[7] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
// Start bit, 7 data bits, parity, stop bit.
constexpr long kBitsPerCharacter = 10;
// Bounds of one sleep while the output queue drains, in microseconds.
constexpr long kDrainSleepMinUs = 100;
constexpr long kDrainSleepMaxUs = 10000;

void SleepMicros(long us) {
    timespec ts{0, us * 1000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

class PosixSerialPort final : public SerialPort {
  public:
    PosixSerialPort(int fd, std::int32_t baudCode)
        : fd_(fd), characterUs_(kBitsPerCharacter * 1000000L / kBitsPerSecond[baudCode]) {}

    ~PosixSerialPort() override {
        if (restore_) tcsetattr(fd_, TCSANOW, &saved_);
        ioctl(fd_, TIOCNXCL);
        close(fd_);
    }

    void Remember(const termios& settings) {
        saved_ = settings;
        restore_ = true;
    }

    int ReadByte(std::uint8_t* byte, std::uint32_t waitMs) override {
        int got = ReadOnce(byte);
        if (got != 0 || waitMs == 0) return Settle(got, waitMs);
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(RealWaitMs(waitMs)));
        if (ready <= 0) return 0;
        got = ReadOnce(byte);
        if (got == 0) {
            // Readable but nothing to read: a hang-up or an error condition.
            // Wait out the slice so that a dead device is not polled hot.
            SleepMs(waitMs);
            return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : 0;
        }
        return Settle(got, waitMs);
    }

    int WriteByte(std::uint8_t byte, std::uint32_t waitMs, std::uint32_t* error) override {
        for (int attempt = 0; attempt < 2; ++attempt) {
            ssize_t n = write(fd_, &byte, 1);
            if (n == 1) return 1;
            if (n < 0 && !WouldBlock(errno)) {
                *error = kErrorWriteFault;
                return -1;
            }
            if (attempt == 0 && waitMs != 0) {
                // Output queue full: wait for room, then try once more.
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, static_cast<int>(RealWaitMs(waitMs))) > 0 &&
                    (p.revents & (POLLERR | POLLNVAL)) != 0) {
                    *error = kErrorWriteFault;
                    return -1;
                }
            } else {
                break;
            }
        }
        return 0;
    }

    int WaitSent(std::uint32_t waitMs) override {
        const std::uint32_t limit = RealWaitMs(waitMs);
        const std::uint32_t start = RawNowMs();
        for (;;) {
            long queued = Queued();
            if (queued == 0) return 1;
            if (RawNowMs() - start >= limit) return 0;
            long us = queued * characterUs_;
            if (us < kDrainSleepMinUs) us = kDrainSleepMinUs;
            if (us > kDrainSleepMaxUs) us = kDrainSleepMaxUs;
            SleepMicros(us);
        }
    }

    void SetDtr(bool on) override { SetLine(TIOCM_DTR, on); }
    void SetRts(bool on) override { SetLine(TIOCM_RTS, on); }

    std::uint32_t ModemStatus() override {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return 0;
        std::uint32_t status = 0;
        if ((bits & TIOCM_CTS) != 0) status |= ModemCtsOn;
        if ((bits & TIOCM_DSR) != 0) status |= ModemDsrOn;
        if ((bits & TIOCM_RNG) != 0) status |= ModemRingOn;
        if ((bits & TIOCM_CAR) != 0) status |= ModemRlsdOn;
        return status;
    }

    void PurgeInput() override { tcflush(fd_, TCIFLUSH); }

  private:
    // 1 byte, 0 nothing buffered, -1 the read failed.
    int ReadOnce(std::uint8_t* byte) {
        ssize_t n = read(fd_, byte, 1);
        if (n == 1) return 1;
        if (n == 0 || WouldBlock(errno)) return 0;
        return -1;
    }

    // Characters that have not left yet: the output queue, or 1 while the
    // transmitter still shifts the last one out. 0 when the device cannot tell.
    long Queued() {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return 0;
        if (queued > 0) return queued;
        unsigned int lsr = 0;
        if (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT) == 0) return 1;
        return 0;
    }

    static int Settle(int got, std::uint32_t waitMs) {
        if (got < 0) SleepMs(waitMs);
        return got;
    }

    void SetLine(int line, bool on) {
        int bits = line;
        ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits);
    }

    int fd_;
    long characterUs_;  // time one character takes on the line
    termios saved_{};
    bool restore_ = false;
};

}  // namespace

std::uint32_t OpenSystemSerialPort(std::int32_t baudCode, std::int32_t portNumber,
                                   SerialPort** port) {
    *port = nullptr;
    char variable[32];
    std::snprintf(variable, sizeof variable, "ORV_LIB_COM%d", portNumber);
    const char* mapped = std::getenv(variable);
    char fallback[40];
    std::snprintf(fallback, sizeof fallback, "/dev/ttyS%lld",
                  static_cast<long long>(portNumber) - 1);
    const char* path = (mapped != nullptr && *mapped != '\0') ? mapped : fallback;

    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SerialOpenFailed;
    auto* opened = new (std::nothrow) PosixSerialPort(fd, baudCode);
    if (opened == nullptr) {
        close(fd);
        return SerialOpenFailed;
    }
    *port = opened;
    ioctl(fd, TIOCEXCL);

    // A device without terminal settings is no serial port.
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return SerialOpenFailed;
    opened->Remember(settings);

    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | IGNPAR);
    settings.c_iflag |= INPCK;
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS7 | PARENB | PARODD | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, kSpeeds[baudCode]);
    cfsetospeed(&settings, kSpeeds[baudCode]);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return SerialNotSettable;
    return SerialOpened;
}

}  // namespace orv::platform
