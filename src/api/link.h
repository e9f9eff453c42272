// The interface each link (serial, network, USB) offers the export frame. The
// exports dispatch through the driver of the open link; nothing else in the
// library switches on the kind of link.
#pragma once

#include <cstdint>

#include "api/library.h"
#include "orv_lib.h"

namespace orv {

struct LinkDriver {
    LinkKind kind;
    std::uint32_t startedBit;
    // Starts the link when its started bit is clear: 0, or the open's failure
    // code (55 when a thread of the link cannot be created).
    std::uint32_t (*start)();
    // Takes the open record (never null) and connects: 0 on success, else the
    // open's result code. The driver does its own unwinding on failure.
    std::uint32_t (*connect)(const void* record);
    // Closes the link: 0, or 50 when its started bit is clear.
    std::uint32_t (*close)();
    std::uint32_t (*write)(SendFileDesc* file);
    std::uint32_t (*read)(DataFileDesc* file);
    std::uint32_t (*writeRead)(ExchangeRequest* request, HeaderFileDesc* header,
                               DataFileDesc* data);
    // Ol_EchoBack's branch for this link.
    std::uint32_t (*echoBack)(ExchangeRequest* request, SendFileDesc* sendFile,
                              DataFileDesc* receiveFile);
    // Ol_Initialize: clears the library's copy of the open record.
    void (*clearRecord)();
    // Ol_End, after the close: stops what outlives the link (may be null).
    void (*end)();
    // Returns every cell of the link to its value at load; used by the test
    // build's full reset between test cases (may be null).
    void (*resetCells)();
};

extern const LinkDriver kSerialLink;
extern const LinkDriver kNetworkLink;
extern const LinkDriver kUsbLink;

extern const LinkDriver* const kAllLinks[3];

// The driver of kind, or null for LinkNone.
const LinkDriver* DriverFor(std::uint32_t kind);

// The rules every open follows, then the driver's connect.
std::uint32_t OpenLinkWith(const LinkDriver& driver, const void* record);

}  // namespace orv
