/*
 * orv_lib.h - public interface of Orv_Lib, the library through which a
 * point-of-sale host exchanges data files with an electronic cash register
 * over RS-232, TCP or USB.
 *
 * Usable from C and C++. On 32-bit Windows every export is stdcall and every
 * record below is exactly an array of 32-bit words; on 64-bit targets the
 * pointer words are pointer-sized and the records follow natural alignment.
 *
 * Threading: call the exports from one thread at a time. The one exception is
 * Ol_Cancel, which may be called from another thread at any moment: while a
 * transfer runs, and also while Ol_End or Ol_Initialize runs (it then returns
 * 0 or 50, depending on which comes first).
 *
 * Ol_Initialize creates ten named mutexes ("OrvLnkManageMutex" ...
 * "OrvLnkReturnMutex") shared by the processes of the same user: on Windows in
 * the session's namespace; on POSIX as files of those names, created 0600, in
 * $XDG_RUNTIME_DIR when it is a private directory of the user, else in
 * /dev/shm with ".<effective uid>" appended. On POSIX a file under such a name
 * that is not a finished mutex of the same user (another user's, open to
 * others, of the wrong size or contents, a link or FIFO) fails the creation:
 * the library stays uninitialised and the exports return 50. A process that
 * dies holding a mutex, even killed, does not block the others.
 */
#ifndef ORV_LIB_H
#define ORV_LIB_H

#include <stdint.h>

#if defined(_WIN32)
#define OL_CALL __stdcall
#else
#define OL_CALL
#endif

#if defined(ORV_LIB_BUILDING)
#if defined(_WIN32)
#define OL_API
#else
#define OL_API __attribute__((visibility("default")))
#endif
#else
#define OL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Result codes. 0 is success; every other code says what stopped the call.
 * ------------------------------------------------------------------------- */
enum OlResult {
    OL_OK = 0,               /* success (also a serial receive ended by EOT) */
    OL_HEADER_FILE = 3,      /* header file cannot be opened/created/written, holds no data,
                                or its header is refused (see "Header limits" below) */
    OL_DATA_FILE = 4,        /* data, line, reply or send file cannot be opened, created,
                                holds nothing to send, or a write to it was short (a
                                received file whose close fails counts as one) */
    OL_NOT_HEADER = 23,      /* a record/block/packet expected to be a header is not one */
    OL_DSR_LOST = 31,        /* serial: DSR lost, or not on within the send timer */
    OL_CARRIER_LOST = 32,    /* serial: carrier off too long while RTS not raised */
    OL_CARRIER_BUSY = 33,    /* serial: carrier did not drop before a switched-RTS send */
    OL_CTS_TIMEOUT = 34,     /* serial: CTS not on within the send timer */
    OL_NO_LINK = 35,         /* no (suitable) link open, or the open failed */
    OL_CANCELLED = 36,       /* Ol_Cancel(1) was seen by a wait */
    OL_EOT = 37,             /* serial: the register sent EOT where an answer was awaited */
    OL_SEND_FAILED = 38,     /* network: no attempt sent the block */
    OL_NO_ANSWER = 39,       /* no answer within the time limit / retries used up */
    OL_LINE_DOWN = 40,       /* serial: line down, not connected or closed */
    OL_ALREADY_OPEN = 41,    /* the link asked for is already open */
    OL_BAD_STATE = 50,       /* wrong state or argument out of range */
    OL_START_FAILED = 55,    /* link thread could not be started */
    OL_NET_CLOSED = 82,      /* network: closed, receive failed or bad checksum */
    OL_NET_REFUSED = 84,     /* network: register answered with a refusal block */
    OL_USB_OPEN = 85,        /* USB: opening the device failed */
    OL_USB_BAD_OPEN = 86,    /* USB: wrong answer to the opening exchange */
    OL_USB_READ = 87,        /* USB: a read failed, or the device is not open */
    OL_USB_WRITE = 88,       /* USB: a write failed, or the device is not open */
    OL_USB_NAK = 89          /* USB: the register sent NAK & END */
};
/* Any other value is the system error code of a failed serial write. On POSIX
 * a failed write is reported as 29 (the Windows "write fault" code), never as
 * a raw errno. */

/* ---------------------------------------------------------------------------
 * Header limits, the same on every link. A header block is "/HDR1/" and the
 * header bytes (hex text of two characters per byte on the serial and USB
 * links). A header is refused when:
 *  - it has fewer than 9 or more than 89 bytes. Sending: the header text that
 *    remains after the format filter must be 18 to 178 characters (an odd
 *    last character is sent but is no byte);
 *  - it has table layout (byte 0 nonzero) but no nonzero column width;
 *  - its row width W (the sum of the widths) is above the link's limit:
 *    serial 496, network 1449, USB 996, so that a record holds one row.
 * Sending (Ol_WriteRead with a HeaderFileDesc): a refused header ends the
 * exchange with 3 (OL_HEADER_FILE) before any header or data block goes out;
 * on the serial link after its EOT, as for the other header-file failures.
 * Receiving: a refused header ends the exchange with 23 (OL_NOT_HEADER), like
 * a block that is not a header; nothing is written for it.
 * A header with fileNumber 0 and lastFileNumber 1 sends its one data file
 * twice, under file numbers 0 and 1: both numbers name the path unchanged
 * (numbers 2 and up replace its extension with ".002", ".003", ...).
 *
 * Received data and header files:
 *  - they are created where the host names them with the process's file
 *    mode creation mask (umask), as fopen creates files; a host that keeps
 *    register data private to its user sets a umask of 077 first (orvctl's
 *    demo and orv-collect do);
 *  - serial link: the last mark of a plain-layout data record (byte 0 of the
 *    header is 0) is read at characters 8-9, behind its 4-digit byte count,
 *    whatever unsplitFlag says; table layout reads it at 6-7, or at 8-9 when
 *    unsplitFlag is set. A record too short to hold its mark ends the file;
 *  - DataFileDesc.csv nonzero with a plain layout (no columns): the data are
 *    written unsplit, as with csv 0;
 *  - a comma-separated header file (HeaderFileDesc.format nonzero) whose
 *    header carries no widths ends with the seventh field's comma, e.g.
 *    "01,00,0000,00,0000,01,01,".
 * Files sent are not checked beyond what the limits above say; what a file
 * holds goes out as the link carries it (orvctl checks its files first):
 *  - where hex text becomes bytes (the network link's header, data and line
 *    blocks), the first pair that is not two of 0-9, A-F and every pair after
 *    it in that block keep the block buffer's previous bytes; with the trace
 *    on, a line names the pair and the bytes affected;
 *  - a file of a series that cannot be opened is skipped (traced);
 *  - an empty data file sends its header and one empty data record or block;
 *  - a row cut short by the end of a comma-separated data file is not sent.
 * Files sent: a read error counts as the end of the file. A numbered file
 * name longer than 4096 characters cannot be opened: a receive ends with 4, a
 * sending series skips that file. Line files of the network and USB links are
 * read in pieces of 2906 or 2000 characters; a line end right after a full
 * piece ends that piece.
 *
 * Serial link (Ol_Open_RS): behaviour a host may rely on:
 *  - Waits block instead of spinning: a receive waits for a byte for at most
 *    10 ms between two rounds of its checks (line status, cancel, time limit),
 *    waits for a modem line sleep 10 ms between looks, and the line supervisor
 *    sleeps until its next 100 ms tick. The checks made before every byte are
 *    unchanged.
 *  - Time limits are counted in 100 ms ticks, (ms + 99) / 100. A limit of 0,
 *    or of 0x7FFFFF9D ms or more (INT_MAX for instance, whose tick count does
 *    not fit 32 bits), is no limit.
 *  - Ol_Cancel(1) ends every serial wait, with a time limit or without: a wait
 *    for the register looks at the cancel request after every read, also one
 *    that found nothing (about every 10 ms), so also in a receive that the
 *    register keeps restarting with ENQs or refused records; a wait for a
 *    modem line between two looks at the line; a send after every byte and
 *    between two waits for a stalled byte (below). The step then ends with 36
 *    at once: a selection or bid first sends EOT, as after its last retry; a
 *    wait for an answer or a record sends nothing more; a send stops after the
 *    byte it was writing (in line mode 0 RTS stays raised until the next send
 *    or Ol_Close); a handshake that starts while the request is set sends one
 *    byte, EOT (ENQ for a bid), and nothing else. The export then ends as
 *    after any failed step (after a data or line record Ol_WriteRead still
 *    sends its closing EOT) and returns 36, as does every later transfer until
 *    Ol_Cancel(0) or the next open.
 *  - Each byte is written once the one before it has left the port (on POSIX
 *    the send watches the output queue, TIOCOUTQ, and the transmitter where
 *    the driver reports it, never blocking in tcdrain), so the line checks
 *    before a byte, the drop of RTS 100 ms after a transmission in line mode 0
 *    and the time limit of the answer all count from the moment the bytes
 *    have left. A byte that the port does not take, or takes and does not
 *    send, is waited for at most 300 times 100 ms in a row; then the call
 *    fails with 29 (the Windows "write fault" code).
 *  - The station address is the first 6 characters of the text, NUL-padded;
 *    a null stationAddress counts as an empty text.
 *  - Windows: the port's properties are read into a buffer of at least one
 *    COMMPROP, larger when the port reports a larger size (a smaller size is
 *    accepted). The open fails (35) only when the port reports a size of 0,
 *    or when no memory can be had.
 *  - POSIX: COM port n is the device in ORV_LIB_COM<n>, else /dev/ttyS<n-1>.
 *    It is opened exclusively (TIOCEXCL), set raw to 7 data bits, odd parity,
 *    1 stop bit, and its previous settings are restored at Ol_Close. Devices
 *    without modem lines (ptys, some USB adapters) read every line as off: use
 *    line mode 2 with them.
 *  - Ol_EchoBack sends at most the first 250 bytes of its send file (up to
 *    the first CR) as one record. Its answer may be a record of any length the
 *    link accepts, up to 1000 data bytes, and is written to the receive file
 *    whole: no answer is cut short or refused for its length.
 *  - The sequence digits persist from one export to the next; only a
 *    selection or bid (send side) and the register's ENQ (receive side) start
 *    them again. Ol_Write sends no selection: its first record carries the
 *    digit the last exchange left. Ol_Read awaits no ENQ: it starts by sending
 *    ACK, and a record that carries the digit accepted last is acknowledged
 *    and dropped as a repeat (right after the library is loaded that digit is
 *    '0'). Ol_WriteRead receiving starts with the ENQ handshake instead.
 *  - A failed send inside Ol_WriteRead ends with the host's EOT, except after
 *    the register's own EOT (37), where the host pauses 1 s and sends nothing.
 *    A header record of a series that fails ends the exchange at once with no
 *    further EOT (a record send whose retries run out has sent EOT itself).
 *    Files completed before a failure stay as written; the file cut off keeps
 *    what was written to it.
 * ------------------------------------------------------------------------- */

/* ---------------------------------------------------------------------------
 * Records. The host allocates and owns them; the library reads them during the
 * call and writes back only DataFileDesc.byteCount and the first CR of
 * ExchangeRequest.command (replaced by a NUL).
 * ------------------------------------------------------------------------- */
typedef struct SendFileDesc {
    char *path;       /* file to send */
    uint32_t timeout; /* serial: time limit per record, ms */
} SendFileDesc;

typedef struct DataFileDesc {
    uint32_t csv;       /* Ol_WriteRead: nonzero = comma-separated table text */
    uint32_t byteCount; /* out: data characters and commas written */
    char *path;         /* data file (first file of a numbered series) */
    uint32_t timeout;   /* serial receive: time limit per data record, ms */
} DataFileDesc;

typedef struct HeaderFileDesc {
    uint32_t format;  /* send: 0 hex as is, 1 drop CR/LF/','; receive: 0 hex, else fields */
    char *path;       /* header file */
    uint32_t timeout; /* serial receive: time limit per header record, ms */
} HeaderFileDesc;

typedef struct ExchangeRequest {
    uint32_t direction;     /* 1 = the PC sends; anything else = the PC receives */
    uint32_t selection;     /* serial: 0 select, 1 bid, 2 neither */
    char *command;          /* command text or NULL; cut in place at its first CR */
    uint32_t receiveWait;   /* network: receive time limit, ms */
    uint32_t retries;       /* serial: retry count; network: send retries */
    uint32_t timeout;       /* serial: time limit, ms; network: send retry wait, ms */
    uint32_t reserved;      /* read by no link */
    uint32_t selectRetries; /* serial: retries of the selection */
    uint32_t selectTimeout; /* serial: time limit of the selection, ms */
    uint32_t closeMode;     /* serial send: nonzero bare EOT, 0 EOT and wait for ACK */
    uint32_t endPause;      /* 1 = end with a pause instead of the closing handshake */
} ExchangeRequest;

typedef struct SerialOpenRecord {
    char *stationAddress; /* first 6 characters are used, NUL-padded */
    uint32_t portNumber;  /* COM port number */
    uint32_t baudCode;    /* 0..6 = 2400, 4800, 9600, 19200, 38400, 57600, 115200 */
    uint32_t lineMode;    /* 0 switched RTS, 1 RTS held, 2 RTS held + lines not watched */
} SerialOpenRecord;

/* Network link (Ol_Open_MWS):
 *  - both address texts are read as scanf reads "%d.%d.%d.%d": four decimal
 *    numbers, each may be led by white space and a sign, the dots right after
 *    the numbers, and anything after the fourth number ignored (so
 *    "127.000.000.001\n" is 127.0.0.1); a text that does not read so, a number
 *    that does not fit in an int, or a registerAddress with a number outside
 *    0-255 fails the open with 35, and so do a port of 0, a refused connect
 *    and one that the register does not accept within 21 s; a failed open
 *    leaves the network link started (the other links' opens give 50 until
 *    Ol_End or a successful open and close);
 *  - of terminalAddress only the fourth number counts: its low 8 bits lead
 *    every block sent ("10.0.0.300" gives 0x2C);
 *  - a received block whose length field is above 1457 or below 4 is a receive
 *    failure (82), without waiting for its content;
 *  - an ExchangeRequest.receiveWait of 0, or of 0x80000000 and above, makes
 *    every network receive time out at once (39);
 *  - a cancel also ends the connect, and the waits between send attempts. */
typedef struct NetworkOpenRecord {
    char *registerAddress; /* "127.000.000.001" style dotted decimal */
    char *terminalAddress; /* this terminal's address, same form */
    uint32_t port;         /* TCP port of the register */
} NetworkOpenRecord;

/* USB link (Ol_Open_USB):
 *  - deviceName: on Windows the device "\\.\<name>" (a named pipe
 *    "pipe\NAME" can stand in for it); on Linux a name beginning with '/' is
 *    a path, any other name is /dev/<name>; a Unix-domain seqpacket socket
 *    there stands in for the device (one message per 1024-byte transfer);
 *    "usb:VVVV:PPPP" (hex ids, one to four digits each) opens the first such
 *    USB device through libusb, "usb:VVVV:PPPP:SERIAL" the one with that
 *    serial number: its first interface with a bulk IN and a bulk OUT
 *    endpoint on alternate setting 0, the kernel driver detached while open.
 *    Such a name fails with 85 when malformed, when no device matches or it
 *    cannot be claimed, and in a build without libusb.
 *    A null name or one of more than 255 characters fails the open with 85
 *    before anything is opened;
 *  - every write and read waits at most 45 s, in 100 ms slices; a cancel ends
 *    a read that is still waiting within one slice with 36;
 *  - a received transfer whose length field is 1 to 21 (shorter than a packet
 *    header) or above 1022 is a failed read (87); Ol_WriteRead then ends
 *    without an abort packet. So does a data packet of 1 to 3 data bytes
 *    (shorter than its 4-byte prefix) while receiving a series; a header
 *    packet too short to hold "/HDR1/" ends with 23 like any packet that is
 *    not a header. A table header with W = 0 or W > 996 is refused: 3 when
 *    sending, 23 when receiving;
 *  - an endless run of empty transfers holds a call only until Ol_Cancel(1),
 *    which ends it with 36;
 *  - removal: while the link is idle or inside Ol_Write / Ol_Read, the
 *    library's monitor thread closes the device when the OS reports it gone,
 *    and every later transfer fails at once (88, or 87 for a read) until
 *    Ol_Close and a new Ol_Open_USB; inside Ol_WriteRead the monitor leaves
 *    the device alone and the exchange's own read or write fails within a
 *    slice (87/88);
 *  - the monitor never reaches a destroyed port: it acts only under a lock
 *    that the close also takes to destroy the port, and Ol_Close (and an open
 *    that fails with 55) waits until the monitor thread has ended before the
 *    port is destroyed. On Linux the monitor watches the descriptor for a
 *    hang-up or error without reading from it and, for a device path, that
 *    the path still exists;
 *  - a file being written whose close fails counts as a short write (4). */
typedef struct UsbOpenRecord {
    char *deviceName; /* device name, at most 255 characters */
} UsbOpenRecord;

typedef struct VersionRecord {
    char *buffer; /* receives the product version text, "Ver 1.2" (8 bytes) */
} VersionRecord;

/* ---------------------------------------------------------------------------
 * Exports. Normal order: Ol_Initialize; any number of (one open, transfers,
 * Ol_Close); Ol_End before unloading. Every export is safe in any state and
 * returns a code rather than crash.
 *
 * Null pointers:
 *  - a null open record passes the state checks of the open and then fails the
 *    open with 35 (OL_NO_LINK), on every link;
 *  - a null ExchangeRequest gives 50 (OL_BAD_STATE);
 *  - a null HeaderFileDesc or DataFileDesc to Ol_WriteRead means "no such
 *    descriptor";
 *  - a null SendFileDesc/DataFileDesc to Ol_Write/Ol_Read returns 0 after the
 *    link's state check;
 *  - Ol_EchoBack on the serial link: a null SendFileDesc is a send file that
 *    cannot be read (EOT, then 4), a null receive DataFileDesc one that cannot
 *    be created (4);
 *  - Ol_Version with a null record or a null buffer returns 0 and writes nothing.
 * ------------------------------------------------------------------------- */
OL_API void OL_CALL Ol_Initialize(void);
OL_API void OL_CALL Ol_End(void);
OL_API uint32_t OL_CALL Ol_Open_RS(SerialOpenRecord *record);
OL_API uint32_t OL_CALL Ol_Open_MWS(NetworkOpenRecord *record);
OL_API uint32_t OL_CALL Ol_Open_USB(UsbOpenRecord *record);
OL_API uint32_t OL_CALL Ol_Close(void);
OL_API uint32_t OL_CALL Ol_Write(SendFileDesc *file);
OL_API uint32_t OL_CALL Ol_Read(DataFileDesc *file);
OL_API uint32_t OL_CALL Ol_WriteRead(ExchangeRequest *request, HeaderFileDesc *header,
                                     DataFileDesc *data);
OL_API uint32_t OL_CALL Ol_Cancel(uint32_t mode);
OL_API uint32_t OL_CALL Ol_EchoBack(ExchangeRequest *request, SendFileDesc *sendFile,
                                    DataFileDesc *receiveFile);
OL_API uint32_t OL_CALL Ol_SignalWrite(uint32_t lines);
OL_API uint32_t OL_CALL Ol_Version(VersionRecord *record);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORV_LIB_H */
