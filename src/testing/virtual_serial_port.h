// A virtual null-modem cable for tests: the library opens one end as a COM
// port (by its number, through Ol_Open_RS or RsOpenPort), the test holds the
// other end. Bytes flow both ways; the test sets the register's DSR, CTS and
// carrier and sees the library's DTR and RTS, and can inject faults. Safe to
// use from the test's threads, the host's thread and the supervisor at once.
// Test build only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sync.h"

namespace orv::testing {

class VirtualModem {
  public:
    struct LineEvent {
        char line;  // 'D' DTR, 'R' RTS
        bool on;
        std::size_t written;  // bytes the library had written by then
        std::uint32_t atMs;   // library clock (scaled in tests)
    };
    struct WrittenByte {
        std::uint8_t byte;
        std::uint32_t atMs;    // when the library wrote it
        std::uint32_t leftMs;  // when it left the library's end (see SetTransmitPace)
    };
    // What the next open of this port does: open normally (0), fail to open
    // (71, not opened), or open and then fail with status (71 or 72).
    struct OpenBehaviour {
        std::uint32_t status = 0;
        bool opens = true;
    };

    // --- the far end ---
    // It sees a byte the library wrote once the byte has left the library's end.
    void Send(const void* bytes, std::size_t count);
    // A byte the library wrote, waiting up to realWaitMs; -1 when none came.
    int ReceiveByte(std::uint32_t realWaitMs);
    // Every byte the library wrote and nobody received yet.
    std::vector<std::uint8_t> TakeAll();
    // Waits up to realWaitMs until at least count bytes are pending.
    bool WaitPending(std::size_t count, std::uint32_t realWaitMs);
    std::size_t Pending();
    // Bytes sent to the library that it has not read yet.
    std::size_t Unread();

    void SetDsr(bool on) { dsr_.store(on); }
    void SetCts(bool on) { cts_.store(on); }
    void SetCarrier(bool on) { carrier_.store(on); }
    void SetAllLines(bool on);
    bool Dtr() const { return dtr_.load(); }
    bool Rts() const { return rts_.load(); }

    // --- faults ---
    void SetOpenBehaviour(OpenBehaviour behaviour);
    // The next n writes take no byte.
    void StallWrites(std::uint32_t n) { stallWrites_.store(n); }
    // Every write fails with code (0: writes work again).
    void FailWrites(std::uint32_t code) { failWrites_.store(code); }
    // The next n reads fail.
    void FailReads(std::uint32_t n) { failReads_.store(n); }
    // A paced transmitter: each byte written leaves msPerByte library
    // milliseconds after the one before it left (or was written). 0: at once.
    void SetTransmitPace(std::uint32_t msPerByte) { pace_.store(msPerByte); }
    // While held, the library's end never reports its output gone (a
    // transmitter stopped by flow control).
    void HoldOutput(bool held) { held_.store(held); }

    // --- what the library did ---
    bool IsOpen() const { return open_.load(); }
    std::uint32_t Opens() const { return opens_.load(); }
    std::uint32_t Purges() const { return purges_.load(); }
    std::uint32_t StatusQueries() const { return queries_.load(); }
    std::int32_t LastBaudCode() const { return baudCode_.load(); }
    std::vector<LineEvent> LineEvents();
    std::vector<WrittenByte> WriteLog();
    void ClearLogs();

    // --- used by the library's end of the cable ---
    std::uint32_t Open(std::int32_t baudCode, bool* opened);
    void Close();
    int LibraryRead(std::uint8_t* byte, std::uint32_t waitMs);
    int LibraryWrite(std::uint8_t byte, std::uint32_t* error);
    int LibraryWaitSent(std::uint32_t waitMs);
    void LibrarySetLine(char line, bool on);
    std::uint32_t LibraryModemStatus();
    void LibraryPurge();

    void AddRef() { refs_.fetch_add(1); }
    void Release();

  private:
    // Bytes of fromLibrary_ that have left, counted from the front (under lock_).
    std::size_t LeftCount();

    platform::LocalMutex lock_;
    std::vector<std::uint8_t> toLibrary_;  // read from the front
    std::size_t toLibraryRead_ = 0;
    std::vector<std::uint8_t> fromLibrary_;
    std::size_t fromLibraryTaken_ = 0;
    std::vector<LineEvent> lineEvents_;
    std::vector<WrittenByte> writeLog_;
    std::vector<std::uint32_t> leaveAt_;  // when each byte of fromLibrary_ leaves
    std::uint32_t lastLeave_ = 0;
    OpenBehaviour openBehaviour_;

    std::atomic<bool> dsr_{false}, cts_{false}, carrier_{false};
    std::atomic<bool> dtr_{false}, rts_{false};
    std::atomic<bool> open_{false}, held_{false};
    std::atomic<std::uint32_t> pace_{0};
    std::atomic<std::uint32_t> stallWrites_{0}, failWrites_{0}, failReads_{0};
    std::atomic<std::uint32_t> opens_{0}, purges_{0}, queries_{0};
    std::atomic<std::int32_t> baudCode_{-1};
    std::atomic<int> refs_{1};
};

// Makes COM port portNumber a virtual null modem (replacing one installed
// there before) and returns its far end, valid until RemoveVirtualPorts.
VirtualModem* InstallVirtualPort(std::int32_t portNumber);
// Removes every virtual port; a port the library still holds stays usable by
// it until closed.
void RemoveVirtualPorts();

}  // namespace orv::testing
