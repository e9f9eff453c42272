// The fault matrix and the soak share this: an exchange written down as the
// register's steps, played by a register on a thread of its own with one
// fault in place of one of its steps, and the checks of what the fault left
// behind (the result, what the host sent afterwards, open descriptors, files).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/library_test.h"

namespace orv::test {

// Everything a register can do wrong where it should send something.
enum class Fault {
    None,
    Silence,        // sends nothing
    Close,          // closes the connection / removes the device
    Refuse,         // NAK (serial), a 0x82 block (network), NAK & END (USB)
    Nak,            // USB: a NAK packet (0x02)
    BadChecksum,    // the right frame with a wrong checksum
    WrongSequence,  // the right frame with a wrong sequence digit or number
    EarlyEnd,       // EOT (serial) or an END (0x81) in place of the frame
    Garbage,        // bytes that are no frame or packet at all
};
inline constexpr Fault kFaults[] = {Fault::Silence,  Fault::Close,       Fault::Refuse,
                                    Fault::Nak,      Fault::BadChecksum, Fault::WrongSequence,
                                    Fault::EarlyEnd, Fault::Garbage};
inline constexpr int kFaultCount = 8;
inline const char* FaultName(Fault f) {
    static const char* const names[] = {"none",     "silence",        "close",     "refuse", "NAK",
                                        "checksum", "wrong sequence", "end early", "garbage"};
    return names[static_cast<int>(f)];
}

// One step of an exchange as the register sees it: something it sends (a
// frame, block or packet of kind with data) or something it awaits from the
// host (of kind). A data step adds rows to file `file` (1 or 2); a header
// step creates that file.
struct Step {
    const char* name;
    bool registerSends;
    std::uint8_t kind;
    std::vector<std::uint8_t> data;
    int file = 0;
    std::string rows;
    bool header = false;
};
using Script = std::vector<Step>;
// What the host sends, and what the register sends.
inline Step Hears(const char* name, std::uint8_t kind) {
    return {name, false, kind, {}, 0, {}, false};
}
inline Step Says(const char* name, std::uint8_t kind, std::vector<std::uint8_t> data = {},
                 int file = 0, std::string rows = {}, bool header = false) {
    return {name, true, kind, std::move(data), file, std::move(rows), header};
}

// The register's end of a link, as the player drives it.
class Peer {
  public:
    virtual ~Peer() = default;
    virtual void Send(const Step& step) = 0;
    virtual void Inject(Fault fault, const Step& step) = 0;
    // Whether the register plays the rest of its part after the fault.
    virtual bool Continues(Fault fault) = 0;
    // A letter for what the host sent, for the tables.
    virtual char Letter(int kind) = 0;
    // Whether the step's own frame still arrives after the fault (the fault
    // was accepted as it is, or put in before the frame).
    virtual bool StepArrives(Fault fault, const Step& step) {
        (void)fault;
        (void)step;
        return false;
    }
    // The kind of what the host sent next, or -1 when nothing came within ms
    // or the link is gone.
    virtual int Receive(int ms) = 0;
};

// What the host sent, by the step at which it arrived.
struct Heard {
    std::size_t step;
    int kind;
};

// Plays script with fault at step faultAt (script.size(): no fault) while host
// runs on this thread. The register goes on listening until the host's call
// has returned, so everything the host sent before it returned is heard.
inline std::uint32_t PlayAgainst(Peer& peer, const Script& script, std::size_t faultAt, Fault fault,
                                 const std::function<std::uint32_t()>& host,
                                 std::vector<Heard>* heard) {
    std::atomic<bool> done{false};
    heard->clear();
    auto listen = [&]() {
        for (;;) {
            const bool last = done.load();
            const int kind = peer.Receive(20);
            if (kind >= 0 || last) {
                return kind;
            }
        }
    };
    std::thread player([&] {
        std::size_t i = 0;
        for (; i < script.size(); ++i) {
            const Step& step = script[i];
            if (i == faultAt) {
                peer.Inject(fault, step);
                if (!peer.Continues(fault)) break;
            } else if (step.registerSends) {
                peer.Send(step);
            } else {
                const int kind = listen();
                if (kind < 0) return;
                heard->push_back({i, kind});
            }
        }
        for (int kind = listen(); kind >= 0; kind = listen()) heard->push_back({i, kind});
    });
    const std::uint32_t rc = host();
    done = true;
    player.join();
    return rc;
}

// The kinds the host sends in an undisturbed exchange.
inline std::vector<int> HostKinds(const Script& script) {
    std::vector<int> kinds;
    for (const Step& s : script)
        if (!s.registerSends) kinds.push_back(s.kind);
    return kinds;
}

// The files a receive should have left: for each file of the series (0 the
// header file), whether it exists and what it holds. Steps before the fault
// arrived; the fault's own step only when the peer says so; later steps only
// when the exchange succeeded.
struct ExpectedFiles {
    bool exists[3] = {false, false, false};
    std::string rows[3];
};
inline ExpectedFiles FilesAfter(const Script& script, std::size_t faultAt, bool ok,
                                bool faultStepArrives) {
    ExpectedFiles e;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Step& s = script[i];
        if (!s.registerSends || s.file == 0) continue;
        const bool arrived =
            i < faultAt || (i > faultAt && ok) || (i == faultAt && faultStepArrives);
        if (!arrived) continue;
        if (s.header) e.exists[s.file] = true;
        if (s.header && s.file == 1) e.exists[0] = true;
        e.rows[s.file] += s.rows;
    }
    return e;
}

}  // namespace orv::test
