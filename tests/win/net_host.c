/* A Windows host on the network link: loads Orv_Lib.dll, opens the link to the
 * register side running on the Linux end (port given on the command line),
 * runs a sending and a receiving exchange with a two-file series, a refusal,
 * a receive time-out and a register that closes after a block, and checks
 * results and files. The register side checks every block on the wire.
 * Last, against a listener of its own that never reads, it checks that a send
 * into a full connection ends with 38 and does not spin. */
#include <winsock2.h> /* before <windows.h> */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_check.h"
#include "orv_lib.h"

typedef void(__stdcall *VoidFn)(void);
typedef uint32_t(__stdcall *PtrFn)(void *);
typedef uint32_t(__stdcall *Ptr3Fn)(void *, void *, void *);
typedef uint32_t(__stdcall *CancelFn)(uint32_t);

static CancelFn g_cancel;
static volatile LONG g_sendEnded;

/* A send that spins would never end by itself: cancel it after 20 s. */
static DWORD WINAPI watchdog(LPVOID unused) {
    (void)unused;
    for (int i = 0; i < 200 && !g_sendEnded; ++i) Sleep(100);
    if (!g_sendEnded) g_cancel(1);
    return 0;
}

static double cpu_seconds(void) {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

/* A register that sent 16 KB and stopped reading: a listener here takes the
 * connection, sends, and never reads. Ol_Write of 8 MB fills the connection;
 * each attempt waits for room alone (the unread bytes do not end the wait),
 * and after 3 attempts of 100 ms the block fails with 38. */
static void full_connection(NetworkOpenRecord *open, PtrFn openMws, Ptr3Fn writeRead,
                            PtrFn write) {
    WSADATA wsa;
    WSAStartup(0x0202, &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, (const char *)&small, sizeof small);
    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    if (bind(listener, (struct sockaddr *)&at, sizeof at) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&at, &size) != 0) {
        check(0, "listener for the full connection");
        return;
    }
    open->port = ntohs(at.sin_port);
    check(openMws(open) == 0, "Ol_Open_MWS to a register that does not read");
    SOCKET conn = accept(listener, NULL, NULL);
    static char unread[16384];
    check(send(conn, unread, sizeof unread, 0) == sizeof unread, "the register's 16 KB");

    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    request.direction = 1;
    request.retries = 3;
    request.timeout = 100;
    request.endPause = 1; /* sets the send cells, sends nothing */
    check(writeRead(&request, NULL, NULL) == 0, "send cells set");
    char bigPath[] = "net_host_files\\big.bin";
    FILE *f = fopen(bigPath, "wb");
    static char chunk[65536];
    for (int i = 0; i < 128 && f != NULL; ++i) fwrite(chunk, 1, sizeof chunk, f);
    if (f != NULL) fclose(f);
    SendFileDesc big = {bigPath, 0};
    HANDLE dog = CreateThread(NULL, 0, watchdog, NULL, 0, NULL);
    double cpu = cpu_seconds();
    check(write(&big) == OL_SEND_FAILED, "a full connection gives 38");
    cpu = cpu_seconds() - cpu;
    InterlockedExchange(&g_sendEnded, 1);
    WaitForSingleObject(dog, INFINITE);
    CloseHandle(dog);
    if (cpu >= 1.0) printf("CPU seconds: %.2f\n", cpu);
    check(cpu < 1.0, "the attempts waited without spinning");
    closesocket(conn);
    closesocket(listener);
    WSACleanup();
}

int main(int argc, char **argv) {
    if (argc != 2) {
        printf("usage: net_host PORT\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA("Orv_Lib.dll");
    if (dll == NULL) {
        printf("FAILED: LoadLibraryA(Orv_Lib.dll), error %lu\n", GetLastError());
        return 1;
    }
    VoidFn initialize = (VoidFn)(void (*)(void))GetProcAddress(dll, "Ol_Initialize");
    VoidFn end = (VoidFn)(void (*)(void))GetProcAddress(dll, "Ol_End");
    PtrFn openMws = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Open_MWS");
    VoidFn close_ = (VoidFn)(void (*)(void))GetProcAddress(dll, "Ol_Close");
    PtrFn write = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Write");
    PtrFn read = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Read");
    Ptr3Fn writeRead = (Ptr3Fn)(void (*)(void))GetProcAddress(dll, "Ol_WriteRead");
    g_cancel = (CancelFn)(void (*)(void))GetProcAddress(dll, "Ol_Cancel");
    if (!initialize || !end || !openMws || !close_ || !write || !read || !writeRead ||
        !g_cancel) {
        printf("FAILED: exports missing\n");
        return 1;
    }

    CreateDirectoryA("net_host_files", NULL);
    put_text("net_host_files\\hdr_send.txt", "0100000000000001020203");
    put_text("net_host_files\\SEND.CSV", "AABB,CCDDEE\r\n0102,030405\r\n");
    put_text("net_host_files\\SEND.002", "FFEE,DDCCBB\r\n");
    DeleteFileA("net_host_files\\RECV.CSV");
    DeleteFileA("net_host_files\\RECV.002");

    initialize();
    char registerAddress[] = "127.000.000.001";
    char terminalAddress[] = "192.168.000.020";
    NetworkOpenRecord open = {registerAddress, terminalAddress, (uint32_t)atoi(argv[1])};
    uint32_t rc = openMws(&open);
    check(rc == 0, "Ol_Open_MWS to the register");
    if (rc != 0) {
        end();
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }

    /* The PC sends a two-file csv series after a command. */
    char sendCommand[] = "SEND\rignored";
    char sendHeaderPath[] = "net_host_files\\hdr_send.txt";
    char sendDataPath[] = "net_host_files\\SEND.CSV";
    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    request.direction = 1;
    request.command = sendCommand;
    request.receiveWait = 20000;
    request.retries = 5;
    request.timeout = 100;
    HeaderFileDesc header = {0, sendHeaderPath, 0};
    DataFileDesc data = {1, 0, sendDataPath, 0};
    check(writeRead(&request, &header, &data) == 0, "sending exchange");
    check(strcmp(sendCommand, "SEND") == 0, "command cut at its CR");

    /* The PC receives a two-file series into csv files. */
    char recvCommand[] = "RECV";
    char recvHeaderPath[] = "net_host_files\\hdr_recv.txt";
    char recvDataPath[] = "net_host_files\\RECV.CSV";
    request.direction = 0;
    request.command = recvCommand;
    HeaderFileDesc recvHeader = {1, recvHeaderPath, 0};
    DataFileDesc recvData = {1, 77, recvDataPath, 0};
    check(writeRead(&request, &recvHeader, &recvData) == 0, "receiving exchange");
    check(file_is_text(recvHeaderPath, "01,00,0000,00,0000,01,02,02,03"), "header file written");
    check(file_is_text(recvDataPath, "AABB,CCDDEE\r\n0102,030405\r\n"), "first data file");
    check(file_is_text("net_host_files\\RECV.002", "FFEE,DDCCBB\r\n"), "second data file");
    check(recvData.byteCount == 33, "byte count of the series");

    /* Ol_Read: the register refuses. */
    char readPath[] = "net_host_files\\read.txt";
    DataFileDesc readFile = {0, 0, readPath, 0};
    check(read(&readFile) == OL_NET_REFUSED, "refusal gives 84");

    /* Silence: a receive with a 300 ms limit gives 39 in about that time. */
    char replyPath[] = "net_host_files\\reply.txt";
    DataFileDesc reply = {0, 0, replyPath, 0};
    request.command = NULL;
    request.receiveWait = 300;
    DWORD start = GetTickCount();
    check(writeRead(&request, NULL, &reply) == OL_NO_ANSWER, "silence gives 39");
    DWORD took = GetTickCount() - start;
    check(took >= 250 && took < 3000, "the receive waited its limit");

    /* The register answers a command with a whole block and closes. Winsock
     * reports the close once; it is remembered, so every later receive gives
     * 82 at once, as on POSIX, rather than waiting out its limit (39). */
    char byeCommand[] = "BYE";
    request.command = byeCommand;
    request.endPause = 1; /* a 200 ms pause instead of the end block */
    check(writeRead(&request, NULL, &reply) == 0, "the block before the close");
    check(file_is_text(replyPath, "0102\r\n"), "the block in the reply file");
    check(read(&readFile) == OL_NET_CLOSED, "the close gives 82");
    check(read(&readFile) == OL_NET_CLOSED, "a remembered close gives 82 again");
    close_();

    full_connection(&open, openMws, writeRead, write);
    close_();
    end();
    FreeLibrary(dll);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
