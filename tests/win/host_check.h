/* What the host programs under wine64 share: counted checks, small files
 * written and compared, and the far end of the USB device: a message-mode
 * named pipe served by the program itself, one message per transfer. */
#ifndef ORV_TESTS_WIN_HOST_CHECK_H
#define ORV_TESTS_WIN_HOST_CHECK_H

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "orv_lib.h"

static int g_passed, g_failed;

static inline void check(int ok, const char* what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        printf("FAILED: %s\n", what);
    }
}

/* Prints the tally; the program's exit code. */
static inline int report(const char* host) {
    printf("%s: %d passed, %d failed\n", host, g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}

static inline void put_text(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    check(f != NULL, path);
    if (f == NULL) return;
    fwrite(text, 1, strlen(text), f);
    fclose(f);
}

/* True when the file holds exactly the text given. */
static inline int file_is_text(const char* path, const char* text) {
    char buf[4096];
    FILE* f = fopen(path, "rb");
    if (f == NULL) return 0;
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return n == strlen(text) && memcmp(buf, text, n) == 0;
}

/* A new pipe's server end, with the name that opens it as a USB device
 * ("pipe\NAME") in device. Once the client has opened it, pipe_connect
 * completes the connection; the server end then reads and writes at once
 * while the pipe's 4 KB buffers have data or room. */
static inline HANDLE pipe_serve(char device[64]) {
    static int serial;
    char path[80];
    snprintf(device, 64, "pipe\\orv_usb_%lu_%d", GetCurrentProcessId(), ++serial);
    snprintf(path, sizeof path, "\\\\.\\%s", device);
    HANDLE pipe = CreateNamedPipeA(path, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   4096, 0, NULL);
    check(pipe != INVALID_HANDLE_VALUE, "named pipe for the USB device");
    return pipe;
}

static inline void pipe_connect(HANDLE pipe) {
    check(ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED,
          "the USB device's pipe connected");
}

static inline void pipe_put(HANDLE pipe, const void* bytes, DWORD size) {
    DWORD written = 0;
    check(WriteFile(pipe, bytes, size, &written, NULL) && written == size, "message to the host");
}

/* The host's next message (at most 1024 bytes): its size, 0 on a failure. */
static inline DWORD pipe_get(HANDLE pipe, char message[1024]) {
    DWORD got = 0;
    return ReadFile(pipe, message, 1024, &got, NULL) ? got : 0;
}

#endif
