/* Starting usb_pipe_peer (in the host's folder) from a host program under
 * wine64, for C and C++ hosts alike. */
#ifndef ORV_TESTS_WIN_USB_PEER_H
#define ORV_TESTS_WIN_USB_PEER_H

#include "host_check.h"

/* A running usb_pipe_peer and the device name that opens its pipe. */
typedef struct UsbPeer {
    PROCESS_INFORMATION process;
    char device[80];
} UsbPeer;

/* Starts the peer with a scenario on a pipe of its own and waits until the
 * pipe exists; 0 (a failed check) when it does not. */
static inline int usb_peer_start(const char* scenario, UsbPeer* peer) {
    static int serial;
    char pipe[64], command[160], path[80];
    STARTUPINFOA startup;
    snprintf(pipe, sizeof pipe, "orv_usb_%lu_%d", GetCurrentProcessId(), ++serial);
    snprintf(command, sizeof command, "usb_pipe_peer.exe %s %s", pipe, scenario);
    snprintf(path, sizeof path, "\\\\.\\pipe\\%s", pipe);
    snprintf(peer->device, sizeof peer->device, "pipe\\%s", pipe);
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &peer->process)) {
        printf("start usb_pipe_peer: error %lu\n", GetLastError());
        check(0, scenario);
        return 0;
    }
    for (int i = 0; i < 400; ++i) {
        if (WaitNamedPipeA(path, 50)) return 1;
        if (WaitForSingleObject(peer->process.hProcess, 0) == WAIT_OBJECT_0) break;
        Sleep(50);
    }
    check(0, "usb_pipe_peer serves its pipe");
    TerminateProcess(peer->process.hProcess, 1);
    return 0;
}

/* Waits for the peer to end (at most a minute) and checks its verdict. */
static inline void usb_peer_finish(UsbPeer* peer, const char* what) {
    DWORD code = 1;
    if (WaitForSingleObject(peer->process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(peer->process.hProcess, 1);
    }
    GetExitCodeProcess(peer->process.hProcess, &code);
    CloseHandle(peer->process.hProcess);
    CloseHandle(peer->process.hThread);
    check(code == 0, what);
}

#endif
