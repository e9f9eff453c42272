/* A Windows host on the USB link: loads Orv_Lib.dll and opens "pipe\NAME",
 * a message-mode named pipe that usb_pipe_peer serves in place of the device
 * and behind which it plays the register. Runs a sending and a receiving
 * Ol_WriteRead of a two-file csv series, an Ol_Write and an Ol_Read (the peer
 * checks every packet on the wire), checks that the removal monitor's window
 * lives exactly as long as the link, and that the link opens again after a
 * close. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "host_check.h"
#include "orv_lib.h"
#include "usb_peer.h"

typedef void(__stdcall* VoidFn)(void);
typedef uint32_t(__stdcall* CloseFn)(void);
typedef uint32_t(__stdcall* PtrFn)(void*);
typedef uint32_t(__stdcall* Ptr3Fn)(void*, void*, void*);

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    HMODULE dll = LoadLibraryA("Orv_Lib.dll");
    if (dll == NULL) {
        printf("FAILED: LoadLibraryA(Orv_Lib.dll), error %lu\n", GetLastError());
        return 1;
    }
    VoidFn initialize = (VoidFn)(void (*)(void))GetProcAddress(dll, "Ol_Initialize");
    VoidFn end = (VoidFn)(void (*)(void))GetProcAddress(dll, "Ol_End");
    PtrFn openUsb = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Open_USB");
    CloseFn close_ = (CloseFn)(void (*)(void))GetProcAddress(dll, "Ol_Close");
    PtrFn write = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Write");
    PtrFn read = (PtrFn)(void (*)(void))GetProcAddress(dll, "Ol_Read");
    Ptr3Fn writeRead = (Ptr3Fn)(void (*)(void))GetProcAddress(dll, "Ol_WriteRead");
    if (!initialize || !end || !openUsb || !close_ || !write || !read || !writeRead) {
        printf("FAILED: exports missing\n");
        return 1;
    }

    CreateDirectoryA("usb_host_files", NULL);
    put_text("usb_host_files\\hdr_send.txt", "0100000000000001020203");
    put_text("usb_host_files\\SEND.CSV", "AABB,CCDDEE\r\n0102,030405\r\n");
    put_text("usb_host_files\\SEND.002", "FFEE,DDCCBB\r\n");
    char block[1500];
    for (int i = 0; i < 1500; ++i) block[i] = (char)(i % 251);
    put_file("usb_host_files\\write.bin", block, sizeof block);
    DeleteFileA("usb_host_files\\RECV.CSV");
    DeleteFileA("usb_host_files\\RECV.002");

    initialize();
    PROCESS_INFORMATION peer;
    char device[80];
    if (!usb_peer_start("exchanges", &peer, device)) return 1;
    UsbOpenRecord open = {device};
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "no monitor window before the open");
    uint32_t rc = openUsb(&open);
    check(rc == 0, "Ol_Open_USB on the pipe");
    if (rc != 0) {
        TerminateProcess(peer.hProcess, 1);
        end();
        return 1;
    }
    check(FindWindowA("wh01", "SPV_Thread") != NULL, "the monitor window exists while open");

    /* The PC sends a two-file csv series after selection 0 and a command. */
    char sendCommand[] = "SEND\rignored";
    char sendHeaderPath[] = "usb_host_files\\hdr_send.txt";
    char sendDataPath[] = "usb_host_files\\SEND.CSV";
    ExchangeRequest request;
    memset(&request, 0, sizeof request);
    request.direction = 1;
    request.selection = 0;
    request.command = sendCommand;
    HeaderFileDesc header = {0, sendHeaderPath, 0};
    DataFileDesc data = {1, 0, sendDataPath, 0};
    check(writeRead(&request, &header, &data) == 0, "sending exchange");
    check(strcmp(sendCommand, "SEND") == 0, "command cut at its CR");

    /* The PC receives a two-file series into csv files after selection 1. */
    char recvCommand[] = "RECV";
    char recvHeaderPath[] = "usb_host_files\\hdr_recv.txt";
    char recvDataPath[] = "usb_host_files\\RECV.CSV";
    request.direction = 0;
    request.selection = 1;
    request.command = recvCommand;
    HeaderFileDesc recvHeader = {1, recvHeaderPath, 0};
    DataFileDesc recvData = {1, 77, recvDataPath, 0};
    check(writeRead(&request, &recvHeader, &recvData) == 0, "receiving exchange");
    check(file_is_text(recvHeaderPath, "01,00,0000,00,0000,01,02,02,03"), "header file written");
    check(file_is_text(recvDataPath, "AABB,CCDDEE\r\n0102,030405\r\n"), "first data file");
    check(file_is_text("usb_host_files\\RECV.002", "FFEE,DDCCBB\r\n"), "second data file");
    check(recvData.byteCount == 33, "byte count of the series");

    char writePath[] = "usb_host_files\\write.bin";
    SendFileDesc writeFile = {writePath, 0};
    check(write(&writeFile) == 0, "Ol_Write of 1500 bytes");
    char readPath[] = "usb_host_files\\read.txt";
    DataFileDesc readFile = {0, 9, readPath, 0};
    check(read(&readFile) == 0, "Ol_Read of two blocks");
    check(file_is_text(readPath, "AB\r\nCDE\r\n"), "Ol_Read's file");
    check(readFile.byteCount == 5, "Ol_Read's byte count");

    check(close_() == 0, "Ol_Close");
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "the monitor window is gone after Ol_Close");
    check(usb_peer_finish(&peer), "the register's verdict on the exchanges");

    /* The link opens again, with its window, and closes again. */
    if (usb_peer_start("silent", &peer, device)) {
        check(openUsb(&open) == 0, "Ol_Open_USB again");
        check(FindWindowA("wh01", "SPV_Thread") != NULL, "the window is back with the link");
        check(close_() == 0, "Ol_Close again");
        check(FindWindowA("wh01", "SPV_Thread") == NULL, "and gone again");
        check(usb_peer_finish(&peer), "peer of the reopen");
    }

    end();
    FreeLibrary(dll);
    printf("usb_dll_host: %s\n", g_failed == 0 ? "all passed" : "FAILED");
    return g_failed == 0 ? 0 : 1;
}
