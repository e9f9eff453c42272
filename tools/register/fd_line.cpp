// The register's line on a file descriptor: a pty master or a tty device.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "register/serial_register.h"

namespace orv::reg {

namespace {

constexpr int kWriteTimeoutMs = 5000;

void MakeRaw7O1(termios* settings) {
    cfmakeraw(settings);
    settings->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS);
    settings->c_cflag |= CS7 | PARENB | PARODD | CLOCAL | CREAD;
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
}

speed_t SpeedOf(int baudRate) {
    switch (baudRate) {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

}  // namespace

std::unique_ptr<FdLine> FdLine::OpenPty(std::string* slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return nullptr;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return nullptr;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return nullptr;
    }
    termios settings{};
    if (tcgetattr(slave, &settings) == 0) {
        MakeRaw7O1(&settings);
        tcsetattr(slave, TCSANOW, &settings);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    *slavePath = name;
    return std::unique_ptr<FdLine>(new FdLine(master, slave));
}

std::unique_ptr<FdLine> FdLine::OpenDevice(const std::string& path, int baudRate) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        close(fd);
        return nullptr;
    }
    MakeRaw7O1(&settings);
    cfsetispeed(&settings, SpeedOf(baudRate));
    cfsetospeed(&settings, SpeedOf(baudRate));
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<FdLine>(new FdLine(fd, -1));
}

FdLine::~FdLine() {
    if (slaveFd_ >= 0) close(slaveFd_);
    close(fd_);
}

int FdLine::ReadByte(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint8_t byte = 0;
        ssize_t n = read(fd_, &byte, 1);
        if (n == 1) return byte;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return -1;
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0 && (p.revents & POLLIN) == 0) {
            // Hung up or broken: nothing will come; wait out the time.
            poll(nullptr, 0, static_cast<int>(left));
            return -1;
        }
    }
}

bool FdLine::Write(const std::uint8_t* bytes, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

void FdLine::SetModemLine(int line, bool on) {
    if (slaveFd_ >= 0) return;  // a pty has no modem lines
    int bits = line;
    ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits);
}

void FdLine::SetDsr(bool on) {
    SetModemLine(TIOCM_DTR, on);
}

void FdLine::SetCts(bool on) {
    SetModemLine(TIOCM_RTS, on);
}

}  // namespace orv::reg
