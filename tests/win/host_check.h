/* What the host programs and peers under wine64 share: counted checks, small
 * files written and compared, the DLL's exports loaded by name and the
 * two-file csv series exchanged both ways. */
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

/* Orv_Lib.dll from the host's folder; NULL with the reason printed. */
static inline HMODULE load_dll(void) {
    HMODULE dll = LoadLibraryA("Orv_Lib.dll");
    if (dll == NULL) printf("FAILED: LoadLibraryA(Orv_Lib.dll), error %lu\n", GetLastError());
    return dll;
}

/* An export of the DLL, typed as orv_lib.h declares it. */
#define OL_LOAD(dll, name) ((__typeof__(&name))(void (*)(void))GetProcAddress(dll, #name))

/* The two-file csv series both ways under folder dir: sent after selection 0
 * and the command "SEND\r..." (cut at its CR), then received into csv files
 * after selection 1 and "RECV". The register side checks the wire; request
 * brings the link's limits. */
static inline void exchange_series(__typeof__(&Ol_WriteRead) writeRead, const char* dir,
                                   ExchangeRequest* request) {
    static const char kCsv1[] = "AABB,CCDDEE\r\n0102,030405\r\n", kCsv2[] = "FFEE,DDCCBB\r\n";
    char sendCommand[] = "SEND\rignored", recvCommand[] = "RECV";
    char path[6][96];
    const char* names[6] = {"hdr_send.txt", "SEND.CSV", "SEND.002",
                            "hdr_recv.txt", "RECV.CSV", "RECV.002"};
    CreateDirectoryA(dir, NULL);
    for (int i = 0; i < 6; ++i) snprintf(path[i], sizeof path[i], "%s\\%s", dir, names[i]);
    put_text(path[0], "01,00,0000,00,0000,01,02,02,03\r\n");
    put_text(path[1], kCsv1);
    put_text(path[2], kCsv2);
    DeleteFileA(path[4]);
    DeleteFileA(path[5]);

    HeaderFileDesc header = {1, path[0], 10000};
    DataFileDesc data = {1, 0, path[1], 10000};
    request->direction = 1;
    request->selection = 0;
    request->command = sendCommand;
    check(writeRead(request, &header, &data) == OL_OK, "sending exchange");
    check(strcmp(sendCommand, "SEND") == 0, "command cut at its CR");

    HeaderFileDesc recvHeader = {1, path[3], 10000};
    DataFileDesc recvData = {1, 77, path[4], 10000};
    request->direction = 0;
    request->selection = 1;
    request->command = recvCommand;
    check(writeRead(request, &recvHeader, &recvData) == OL_OK, "receiving exchange");
    check(file_is_text(path[3], "01,00,0000,00,0000,01,02,02,03"), "header file written");
    check(file_is_text(path[4], kCsv1), "first data file");
    check(file_is_text(path[5], kCsv2), "second data file");
    check(recvData.byteCount == 33, "byte count of the series");
}

#endif
