/* A Windows host on the network link: loads Orv_Lib.dll, opens the link to the
 * register side running on the Linux end (port given on the command line),
 * runs a sending and a receiving exchange with a two-file series, a refusal
 * and a receive time-out, and checks results and files.
 * The register side checks every block on the wire. */
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
    PtrFn read = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Read");
    Ptr3Fn writeRead = (Ptr3Fn)(void (*)(void))GetProcAddress(dll, "Ol_WriteRead");
    if (!initialize || !end || !openMws || !close_ || !read || !writeRead) {
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

    close_();
    end();
    FreeLibrary(dll);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
