// The host records are part of the binary interface: on 32-bit targets (the
// Windows drop-in, and the i386 Linux build that tests its data model) each is
// an array of 32-bit words, on 64-bit targets the pointer words widen to 8
// bytes with natural alignment. Any change to orv_lib.h that moves a word
// fails to compile here.
#include <cstddef>

#include "orv_lib.h"

#define ORV_AT(type, member, offset) static_assert(offsetof(type, member) == (offset))

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SendFileDesc) == 8);
ORV_AT(SendFileDesc, timeout, 4);
static_assert(sizeof(DataFileDesc) == 16);
ORV_AT(DataFileDesc, byteCount, 4);
ORV_AT(DataFileDesc, path, 8);
ORV_AT(DataFileDesc, timeout, 12);
static_assert(sizeof(HeaderFileDesc) == 12);
ORV_AT(HeaderFileDesc, path, 4);
ORV_AT(HeaderFileDesc, timeout, 8);
static_assert(sizeof(ExchangeRequest) == 44);
ORV_AT(ExchangeRequest, selection, 4);
ORV_AT(ExchangeRequest, command, 8);
ORV_AT(ExchangeRequest, receiveWait, 12);
ORV_AT(ExchangeRequest, endPause, 40);
static_assert(sizeof(SerialOpenRecord) == 16);
ORV_AT(SerialOpenRecord, portNumber, 4);
ORV_AT(SerialOpenRecord, lineMode, 12);
static_assert(sizeof(NetworkOpenRecord) == 12);
ORV_AT(NetworkOpenRecord, terminalAddress, 4);
ORV_AT(NetworkOpenRecord, port, 8);
static_assert(sizeof(UsbOpenRecord) == 4);
static_assert(sizeof(VersionRecord) == 4);
#else
static_assert(sizeof(SendFileDesc) == 16);
ORV_AT(SendFileDesc, timeout, 8);
static_assert(sizeof(DataFileDesc) == 24);
ORV_AT(DataFileDesc, byteCount, 4);
ORV_AT(DataFileDesc, path, 8);
ORV_AT(DataFileDesc, timeout, 16);
static_assert(sizeof(HeaderFileDesc) == 24);
ORV_AT(HeaderFileDesc, path, 8);
ORV_AT(HeaderFileDesc, timeout, 16);
static_assert(sizeof(ExchangeRequest) == 48);
ORV_AT(ExchangeRequest, selection, 4);
ORV_AT(ExchangeRequest, command, 8);
ORV_AT(ExchangeRequest, receiveWait, 16);
ORV_AT(ExchangeRequest, endPause, 44);
static_assert(sizeof(SerialOpenRecord) == 24);
ORV_AT(SerialOpenRecord, portNumber, 8);
ORV_AT(SerialOpenRecord, lineMode, 16);
static_assert(sizeof(NetworkOpenRecord) == 24);
ORV_AT(NetworkOpenRecord, terminalAddress, 8);
ORV_AT(NetworkOpenRecord, port, 16);
static_assert(sizeof(UsbOpenRecord) == 8);
static_assert(sizeof(VersionRecord) == 8);
#endif
