/* A Windows host on the network link: loads Orv_Lib.dll, opens the link to the
 * register side running on the Linux end (port given on the command line),
 * runs a sending and a receiving exchange with a two-file series, a refusal,
 * a receive time-out and a register that closes after a block, and checks
 * results and files. The register side checks every block on the wire.
 * Last, against a listener of its own that never reads, it checks that a send
 * into a full connection ends with 38 and does not spin. */
#include <winsock2.h> /* before <windows.h> */

#include <windows.h>

#include <stdlib.h>

#include "host_check.h"

static HMODULE g_dll;
static volatile LONG g_sendEnded;

/* A send that spins would never end by itself: cancel it after 20 s. */
static DWORD WINAPI watchdog(LPVOID unused) {
    (void)unused;
    for (int i = 0; i < 200 && !g_sendEnded; ++i) Sleep(100);
    if (!g_sendEnded) OL_LOAD(g_dll, Ol_Cancel)(1);
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
static void full_connection(NetworkOpenRecord* open) {
    WSADATA wsa;
    WSAStartup(0x0202, &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, (const char*)&small, sizeof small);
    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    if (bind(listener, (struct sockaddr*)&at, sizeof at) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr*)&at, &size) != 0) {
        check(0, "listener for the full connection");
        return;
    }
    open->port = ntohs(at.sin_port);
    check(OL_LOAD(g_dll, Ol_Open_MWS)(open) == 0, "Ol_Open_MWS to a register that does not read");
    SOCKET conn = accept(listener, NULL, NULL);
    static char unread[16384];
    check(send(conn, unread, sizeof unread, 0) == sizeof unread, "the register's 16 KB");

    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    request.direction = 1;
    request.retries = 3;
    request.timeout = 100;
    request.endPause = 1; /* sets the send cells, sends nothing */
    check(OL_LOAD(g_dll, Ol_WriteRead)(&request, NULL, NULL) == 0, "send cells set");
    char bigPath[] = "net_host_files\\big.bin";
    FILE* f = fopen(bigPath, "wb");
    static char chunk[65536];
    for (int i = 0; i < 128 && f != NULL; ++i) fwrite(chunk, 1, sizeof chunk, f);
    if (f != NULL) fclose(f);
    SendFileDesc big = {bigPath, 0};
    HANDLE dog = CreateThread(NULL, 0, watchdog, NULL, 0, NULL);
    double cpu = cpu_seconds();
    check(OL_LOAD(g_dll, Ol_Write)(&big) == OL_SEND_FAILED, "a full connection gives 38");
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

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: net_host PORT\n");
        return 2;
    }
    HMODULE dll = g_dll = load_dll();
    if (dll == NULL) return 1;
    __typeof__(&Ol_Initialize) initialize = OL_LOAD(dll, Ol_Initialize);
    __typeof__(&Ol_End) end = OL_LOAD(dll, Ol_End);
    __typeof__(&Ol_Open_MWS) openMws = OL_LOAD(dll, Ol_Open_MWS);
    __typeof__(&Ol_Close) close_ = OL_LOAD(dll, Ol_Close);
    __typeof__(&Ol_Read) read = OL_LOAD(dll, Ol_Read);
    __typeof__(&Ol_WriteRead) writeRead = OL_LOAD(dll, Ol_WriteRead);

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

    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    request.receiveWait = 20000;
    request.retries = 5;
    request.timeout = 100;
    exchange_series(writeRead, "net_host_files", &request);

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

    full_connection(&open);
    close_();
    end();
    FreeLibrary(dll);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
