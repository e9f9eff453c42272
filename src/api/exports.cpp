// The thirteen exports: the lifecycle of the library and the dispatch of the
// transfer calls to the open link.
#include "api/library.h"
#include "api/link.h"
#include "api/result_codes.h"
#include "api/trace.h"
#include "orv_lib.h"
#include "platform/system.h"
#include "serial/serial_exports.h"
#include "transfer/header.h"

using namespace orv;

namespace {

// Creates the ten named mutexes in table order. When one fails, the ones
// created before it are closed again newest first; the failed slot keeps the
// null the OS returned. Returns false on failure.
bool CreateMutexes();

void CloseMutexSlot(int index);

#if defined(ORV_LIB_TESTING)
int g_failMutexAt = -1;
int g_closedLog[64];
int g_closedCount = 0;
#endif

platform::NamedMutex* CreateMutexSlot(int index) {
#if defined(ORV_LIB_TESTING)
    if (index == g_failMutexAt) {
        g_failMutexAt = -1;
        return nullptr;
    }
#endif
    return platform::NamedMutexOpen(kMutexNames[index]);
}

bool CreateMutexes() {
    LibraryCore& core = Core();
    for (int i = 0; i < MutexCount; ++i) {
        core.mutexes[i] = CreateMutexSlot(i);
        if (core.mutexes[i] == nullptr) {
            ORV_TRACE(
                "Ol_Initialize: named mutex %s could not be created or opened; "
                "library not initialised",
                kMutexNames[i]);
            for (int j = i - 1; j >= 0; --j) CloseMutexSlot(j);
            return false;
        }
    }
    return true;
}

void CloseMutexSlot(int index) {
    LibraryCore& core = Core();
    platform::NamedMutexClose(core.mutexes[index]);
    core.mutexes[index] = InvalidMutex();
#if defined(ORV_LIB_TESTING)
    if (g_closedCount < 64) g_closedLog[g_closedCount++] = index;
#endif
}

const LinkDriver* OpenDriver() {
    return DriverFor(Core().openLink.load());
}

}  // namespace

extern "C" {

OL_API void OL_CALL Ol_Initialize(void) {
    if (HasState(StateInitialised)) Ol_End();
    trace::Configure();
    for (const LinkDriver* driver : kAllLinks) driver->clearRecord();
    {
        platform::LocalLock guard(Core().slotsLock);
        if (!CreateMutexes()) return;
        Core().openLink.store(LinkNone);
        SetState(StateInitialised);
    }
    ORV_TRACE("Ol_Initialize: library initialised");
}

OL_API void OL_CALL Ol_End(void) {
    Ol_Close();
    for (const LinkDriver* driver : kAllLinks) {
        if (driver->end != nullptr) driver->end();
    }
    LibraryCore& core = Core();
    {
        platform::LocalLock guard(core.slotsLock);
        for (int i = 0; i < MutexCount; ++i) {
            if (core.mutexes[i] != InvalidMutex()) CloseMutexSlot(i);
        }
        core.state.store(0);
    }
    ORV_TRACE("Ol_End: library ended");
    trace::Close();
}

OL_API std::uint32_t OL_CALL Ol_Open_RS(SerialOpenRecord* record) {
    return OpenLinkWith(kSerialLink, record);
}

OL_API std::uint32_t OL_CALL Ol_Open_MWS(NetworkOpenRecord* record) {
    return OpenLinkWith(kNetworkLink, record);
}

OL_API std::uint32_t OL_CALL Ol_Open_USB(UsbOpenRecord* record) {
    return OpenLinkWith(kUsbLink, record);
}

OL_API std::uint32_t OL_CALL Ol_Close(void) {
    // A link whose started bit is already clear answers 50, which is ignored.
    if (const LinkDriver* driver = OpenDriver()) (void)driver->close();
    Core().openLink.store(LinkNone);
    return OL_OK;
}

// The transfer exports check nothing but the open link; the link's started bit
// is checked next, then a null argument means there is nothing to do.
OL_API std::uint32_t OL_CALL Ol_Write(SendFileDesc* file) {
    const LinkDriver* driver = OpenDriver();
    if (driver == nullptr) return OL_NO_LINK;
    if (!HasState(driver->startedBit)) return OL_BAD_STATE;
    if (file == nullptr) return OL_OK;
    return driver->write(file);
}

OL_API std::uint32_t OL_CALL Ol_Read(DataFileDesc* file) {
    const LinkDriver* driver = OpenDriver();
    if (driver == nullptr) return OL_NO_LINK;
    if (!HasState(driver->startedBit)) return OL_BAD_STATE;
    if (file == nullptr) return OL_OK;
    return driver->read(file);
}

OL_API std::uint32_t OL_CALL Ol_WriteRead(ExchangeRequest* request, HeaderFileDesc* header,
                                          DataFileDesc* data) {
    const LinkDriver* driver = OpenDriver();
    if (driver == nullptr) return OL_NO_LINK;
    if (!HasState(driver->startedBit) || request == nullptr) return OL_BAD_STATE;
    return driver->writeRead(request, header, data);
}

OL_API std::uint32_t OL_CALL Ol_Cancel(std::uint32_t mode) {
    constexpr std::uint32_t kAllBits =
        StateInitialised | StateSerialStarted | StateNetworkStarted | StateUsbStarted;
    {
        // Called from another thread: Ol_End or Ol_Initialize must not close
        // or replace the mutex between the state check and the access.
        platform::LocalLock guard(Core().slotsLock);
        if (!HasState(kAllBits) || mode > 3) return OL_BAD_STATE;
        if (mode == 0) SetCancelRequest(0);
        if (mode == 1) SetCancelRequest(CancelRequested);
    }
    ORV_TRACE("Ol_Cancel: mode %u", mode);
    return OL_OK;
}

OL_API std::uint32_t OL_CALL Ol_EchoBack(ExchangeRequest* request, SendFileDesc* sendFile,
                                         DataFileDesc* receiveFile) {
    const LinkDriver* driver = OpenDriver();
    if (driver == nullptr) return OL_NO_LINK;
    // Only the serial link has an echo exchange; the others do nothing.
    if (driver->echoBack == nullptr) return OL_OK;
    if (!HasState(driver->startedBit) || request == nullptr) return OL_BAD_STATE;
    return driver->echoBack(request, sendFile, receiveFile);
}

OL_API std::uint32_t OL_CALL Ol_SignalWrite(std::uint32_t lines) {
    return serial::SignalWrite(lines);
}

OL_API std::uint32_t OL_CALL Ol_Version(VersionRecord* record) {
    if (record != nullptr && record->buffer != nullptr) {
        platform::CopyProductVersion(record->buffer);
    }
    return OL_OK;
}

}  // extern "C"

#if defined(ORV_LIB_TESTING)
namespace orv::testing {

void FailMutexCreationAt(int index) {
    g_failMutexAt = index;
}

int TakeClosedMutexes(int* out, int capacity) {
    int n = g_closedCount < capacity ? g_closedCount : capacity;
    for (int i = 0; i < n; ++i) out[i] = g_closedLog[i];
    g_closedCount = 0;
    return n;
}

int MutexSlotKind(int index) {
    platform::NamedMutex* slot = Core().mutexes[index];
    if (slot == InvalidMutex()) return 0;
    return slot == nullptr ? 1 : 2;
}

void ResetLibrary() {
    Ol_End();
    LibraryCore& core = Core();
    for (auto& slot : core.mutexes) {
        if (slot == nullptr) slot = InvalidMutex();
    }
    core.cancelRequest.store(0);
    core.lineMode.store(0);
    core.openLink.store(LinkNone);
    g_failMutexAt = -1;
    g_closedCount = 0;
    for (const LinkDriver* driver : kAllLinks) {
        driver->clearRecord();
        if (driver->resetCells != nullptr) driver->resetCells();
    }
    transfer::ResetState();
}

}  // namespace orv::testing
#endif
