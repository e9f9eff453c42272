#include "testing/virtual_serial_port.h"

#include <new>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace orv::testing {

namespace {

// The library's end of the cable.
class VirtualPort final : public platform::SerialPort {
  public:
    explicit VirtualPort(VirtualModem* modem) : modem_(modem) { modem_->AddRef(); }
    ~VirtualPort() override {
        modem_->Close();
        modem_->Release();
    }
    int ReadByte(std::uint8_t* byte, std::uint32_t waitMs) override {
        return modem_->LibraryRead(byte, waitMs);
    }
    int WriteByte(std::uint8_t byte, std::uint32_t /*waitMs*/, std::uint32_t* error) override {
        return modem_->LibraryWrite(byte, error);
    }
    int WaitSent(std::uint32_t waitMs) override { return modem_->LibraryWaitSent(waitMs); }
    void SetDtr(bool on) override { modem_->LibrarySetLine('D', on); }
    void SetRts(bool on) override { modem_->LibrarySetLine('R', on); }
    std::uint32_t ModemStatus() override { return modem_->LibraryModemStatus(); }
    void PurgeInput() override { modem_->LibraryPurge(); }

  private:
    VirtualModem* modem_;
};

constexpr int kSlots = 8;

struct Registry {
    platform::LocalMutex lock;
    std::int32_t numbers[kSlots] = {};
    VirtualModem* modems[kSlots] = {};
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

bool Factory(std::int32_t baudCode, std::int32_t portNumber, platform::SerialPort** port,
             std::uint32_t* status) {
    Registry& r = TheRegistry();
    VirtualModem* modem = nullptr;
    {
        platform::LocalLock guard(r.lock);
        for (int i = 0; i < kSlots; ++i) {
            if (r.modems[i] != nullptr && r.numbers[i] == portNumber) modem = r.modems[i];
        }
        if (modem == nullptr) return false;
        modem->AddRef();
    }
    bool opened = false;
    *status = modem->Open(baudCode, &opened);
    if (opened) *port = new VirtualPort(modem);
    modem->Release();
    return true;
}

// Waits in real milliseconds, polling `ready` every millisecond.
template <typename Ready>
bool WaitReal(std::uint32_t realMs, Ready ready) {
    std::uint32_t start = platform::RawNowMs();
    for (;;) {
        if (ready()) return true;
        if (platform::RawNowMs() - start >= realMs) return false;
        platform::RawSleepMs(1);
    }
}

}  // namespace

void VirtualModem::Send(const void* bytes, std::size_t count) {
    platform::LocalLock guard(lock_);
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    toLibrary_.insert(toLibrary_.end(), p, p + count);
}

std::size_t VirtualModem::LeftCount() {
    std::uint32_t now = platform::NowMs();
    std::size_t left = fromLibraryTaken_;
    while (left < leaveAt_.size() && platform::ClockReached(now, leaveAt_[left])) ++left;
    return left;
}

int VirtualModem::ReceiveByte(std::uint32_t realWaitMs) {
    int byte = -1;
    WaitReal(realWaitMs, [&] {
        platform::LocalLock guard(lock_);
        if (fromLibraryTaken_ >= LeftCount()) return false;
        byte = fromLibrary_[fromLibraryTaken_++];
        return true;
    });
    return byte;
}

std::vector<std::uint8_t> VirtualModem::TakeAll() {
    platform::LocalLock guard(lock_);
    std::size_t left = LeftCount();
    std::vector<std::uint8_t> out(
        fromLibrary_.begin() + static_cast<std::ptrdiff_t>(fromLibraryTaken_),
        fromLibrary_.begin() + static_cast<std::ptrdiff_t>(left));
    fromLibraryTaken_ = left;
    return out;
}

bool VirtualModem::WaitPending(std::size_t count, std::uint32_t realWaitMs) {
    return WaitReal(realWaitMs, [&] { return Pending() >= count; });
}

std::size_t VirtualModem::Pending() {
    platform::LocalLock guard(lock_);
    return LeftCount() - fromLibraryTaken_;
}

std::size_t VirtualModem::Unread() {
    platform::LocalLock guard(lock_);
    return toLibrary_.size() - toLibraryRead_;
}

void VirtualModem::SetAllLines(bool on) {
    dsr_.store(on);
    cts_.store(on);
    carrier_.store(on);
}

void VirtualModem::SetOpenBehaviour(OpenBehaviour behaviour) {
    platform::LocalLock guard(lock_);
    openBehaviour_ = behaviour;
}

std::vector<VirtualModem::LineEvent> VirtualModem::LineEvents() {
    platform::LocalLock guard(lock_);
    return lineEvents_;
}

std::vector<VirtualModem::WrittenByte> VirtualModem::WriteLog() {
    platform::LocalLock guard(lock_);
    return writeLog_;
}

void VirtualModem::ClearLogs() {
    platform::LocalLock guard(lock_);
    lineEvents_.clear();
    writeLog_.clear();
}

std::uint32_t VirtualModem::Open(std::int32_t baudCode, bool* opened) {
    platform::LocalLock guard(lock_);
    baudCode_.store(baudCode);
    *opened = openBehaviour_.opens;
    if (*opened) {
        opens_.fetch_add(1);
        open_.store(true);
        dtr_.store(false);
        rts_.store(false);
    }
    return openBehaviour_.status;
}

void VirtualModem::Close() {
    open_.store(false);
    dtr_.store(false);
    rts_.store(false);
}

int VirtualModem::LibraryRead(std::uint8_t* byte, std::uint32_t waitMs) {
    std::uint32_t fails = failReads_.load();
    while (fails != 0 && !failReads_.compare_exchange_weak(fails, fails - 1)) {
    }
    if (fails != 0) {
        platform::SleepMs(waitMs);
        return -1;
    }
    bool got = WaitReal(platform::RealWaitMs(waitMs), [&] {
        platform::LocalLock guard(lock_);
        if (toLibraryRead_ >= toLibrary_.size()) return false;
        *byte = toLibrary_[toLibraryRead_++];
        return true;
    });
    return got ? 1 : 0;
}

int VirtualModem::LibraryWrite(std::uint8_t byte, std::uint32_t* error) {
    std::uint32_t code = failWrites_.load();
    if (code != 0) {
        *error = code;
        return -1;
    }
    std::uint32_t stalls = stallWrites_.load();
    while (stalls != 0 && !stallWrites_.compare_exchange_weak(stalls, stalls - 1)) {
    }
    if (stalls != 0) return 0;
    platform::LocalLock guard(lock_);
    std::uint32_t now = platform::NowMs();
    std::uint32_t leave = now;
    if (std::uint32_t pace = pace_.load(); pace != 0) {
        leave = (platform::ClockReached(now, lastLeave_) ? now : lastLeave_) + pace;
    }
    lastLeave_ = leave;
    fromLibrary_.push_back(byte);
    leaveAt_.push_back(leave);
    writeLog_.push_back({byte, now, leave});
    return 1;
}

int VirtualModem::LibraryWaitSent(std::uint32_t waitMs) {
    // Measured on the library's clock, so that a wait that finds the output
    // still queued lasts exactly waitMs of it.
    const std::uint32_t start = platform::NowMs();
    for (;;) {
        if (!held_.load()) {
            platform::LocalLock guard(lock_);
            if (platform::ClockReached(platform::NowMs(), lastLeave_)) return 1;
        }
        if (platform::NowMs() - start >= waitMs) return 0;
        platform::RawSleepMs(1);
    }
}

void VirtualModem::LibrarySetLine(char line, bool on) {
    platform::LocalLock guard(lock_);
    (line == 'D' ? dtr_ : rts_).store(on);
    lineEvents_.push_back({line, on, writeLog_.size(), platform::NowMs()});
}

std::uint32_t VirtualModem::LibraryModemStatus() {
    queries_.fetch_add(1);
    std::uint32_t status = 0;
    if (cts_.load()) status |= platform::ModemCtsOn;
    if (dsr_.load()) status |= platform::ModemDsrOn;
    if (carrier_.load()) status |= platform::ModemRlsdOn;
    return status;
}

void VirtualModem::LibraryPurge() {
    purges_.fetch_add(1);
    platform::LocalLock guard(lock_);
    toLibraryRead_ = toLibrary_.size();
}

void VirtualModem::Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
}

VirtualModem* InstallVirtualPort(std::int32_t portNumber) {
    Registry& r = TheRegistry();
    auto* modem = new VirtualModem();
    platform::LocalLock guard(r.lock);
    int free = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (r.modems[i] != nullptr && r.numbers[i] == portNumber) {
            r.modems[i]->Release();
            r.modems[i] = nullptr;
        }
        if (r.modems[i] == nullptr && free < 0) free = i;
    }
    if (free < 0) {
        delete modem;
        return nullptr;
    }
    r.numbers[free] = portNumber;
    r.modems[free] = modem;
    platform::SetSerialPortFactory(Factory);
    return modem;
}

void RemoveVirtualPorts() {
    Registry& r = TheRegistry();
    platform::LocalLock guard(r.lock);
    for (int i = 0; i < kSlots; ++i) {
        if (r.modems[i] != nullptr) r.modems[i]->Release();
        r.modems[i] = nullptr;
    }
    platform::SetSerialPortFactory(nullptr);
}

}  // namespace orv::testing
