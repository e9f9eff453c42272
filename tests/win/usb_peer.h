/* Starting usb_pipe_peer (in the host's folder) from a host program under
 * wine64, for C and C++ hosts alike. */
#ifndef ORV_TESTS_WIN_USB_PEER_H
#define ORV_TESTS_WIN_USB_PEER_H

#include <windows.h>

#include <stdio.h>
#include <string.h>

/* Starts the peer with a scenario on a pipe of its own and waits until the
 * pipe exists; device (80 bytes) receives the name that opens it. 0 on
 * failure, with the reason printed. */
static int usb_peer_start(const char* scenario, PROCESS_INFORMATION* peer, char* device) {
    static int serial;
    char pipe[64], command[160], path[80];
    STARTUPINFOA startup;
    int i;
    snprintf(pipe, sizeof pipe, "orv_usb_%lu_%d", GetCurrentProcessId(), ++serial);
    snprintf(command, sizeof command, "usb_pipe_peer.exe %s %s", pipe, scenario);
    snprintf(path, sizeof path, "\\\\.\\pipe\\%s", pipe);
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, peer)) {
        printf("FAILED: start usb_pipe_peer, error %lu\n", GetLastError());
        return 0;
    }
    for (i = 0; i < 400; ++i) {
        if (WaitNamedPipeA(path, 50)) {
            snprintf(device, 80, "pipe\\%s", pipe);
            return 1;
        }
        if (WaitForSingleObject(peer->hProcess, 0) == WAIT_OBJECT_0) break;
        Sleep(50);
    }
    printf("FAILED: usb_pipe_peer does not serve its pipe\n");
    TerminateProcess(peer->hProcess, 1);
    return 0;
}

/* Waits for the peer to end (at most a minute); 1 when it found everything
 * as expected. */
static int usb_peer_finish(PROCESS_INFORMATION* peer) {
    DWORD code = 1;
    if (WaitForSingleObject(peer->hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(peer->hProcess, 1);
    }
    GetExitCodeProcess(peer->hProcess, &code);
    CloseHandle(peer->hProcess);
    CloseHandle(peer->hThread);
    return code == 0;
}

#endif
