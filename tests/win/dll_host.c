/* A C host linked against Orv_Lib.dll's import library, run under wine64. It
 * checks what only the Windows build has: the exports by name and by ordinal,
 * the version resource and the named mutexes; the network link on Winsock,
 * against a register this program plays on the loopback address; the USB link
 * over a named pipe, with the removal monitor's window registered on the DLL
 * and living as long as the link. The protocols themselves are the shared
 * code the Linux suites check. */
#include <winsock2.h> /* before <windows.h> */

#include "host_check.h"

static const char* const kExports[13] = {
    "Ol_Cancel",   "Ol_Close",   "Ol_EchoBack", "Ol_End",  "Ol_Initialize",
    "Ol_Open_MWS", "Ol_Open_RS", "Ol_Open_USB", "Ol_Read", "Ol_SignalWrite",
    "Ol_Version",  "Ol_Write",   "Ol_WriteRead"};

static const char* const kMutexes[10] = {
    "OrvLnkManageMutex", "OrvLnkTimerMutex1", "OrvLnkTimerMutex2", "OrvLnkTimerMutex3",
    "OrvLnkLinSttMutex", "OrvLnkTmOutMutex1", "OrvLnkTmOutMutex2", "OrvLnkTmOutMutex3",
    "OrvLnkRtsSttMutex", "OrvLnkReturnMutex"};

static int mutexes_visible(void) {
    int visible = 0;
    for (int i = 0; i < 10; ++i) {
        HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, kMutexes[i]);
        if (h != NULL) {
            ++visible;
            CloseHandle(h);
        }
    }
    return visible;
}

static void exports_version_mutexes(void) {
    HMODULE dll = LoadLibraryA("Orv_Lib.dll");
    check(dll != NULL, "LoadLibraryA(Orv_Lib.dll)");
    for (int i = 0; i < 13 && dll != NULL; ++i) {
        FARPROC byName = GetProcAddress(dll, kExports[i]);
        check(byName != NULL && byName == GetProcAddress(dll, MAKEINTRESOURCEA(i + 1)),
              kExports[i]);
    }
    if (dll != NULL) FreeLibrary(dll);

    char text[32];
    memset(text, 'x', sizeof text);
    VersionRecord record = {text};
    check(Ol_Version(&record) == 0 && strcmp(text, "Ver 1.2") == 0, "version from the resource");

    /* The ten named mutexes live from Ol_Initialize to Ol_End; a second
     * Ol_Initialize ends the first use and starts afresh. */
    check(mutexes_visible() == 0, "no mutex before Ol_Initialize");
    Ol_Initialize();
    check(mutexes_visible() == 10, "ten named mutexes after Ol_Initialize");
    Ol_End();
    check(mutexes_visible() == 0, "named mutexes gone after Ol_End");
    Ol_Initialize();
    Ol_Initialize();
    check(mutexes_visible() == 10, "ten mutexes after a second Ol_Initialize");
    Ol_End();
    check(mutexes_visible() == 0, "no mutex left after the last Ol_End");
}

static SOCKET g_listener;
static char g_registerAddress[] = "127.000.000.001", g_terminalAddress[] = "192.168.000.020";

/* Opens the network link to the listener; the register's end of it. */
static SOCKET open_network(const ExchangeRequest* timing) {
    struct sockaddr_in at;
    int size = sizeof at;
    getsockname(g_listener, (struct sockaddr*)&at, &size);
    NetworkOpenRecord open = {g_registerAddress, g_terminalAddress, ntohs(at.sin_port)};
    check(Ol_Open_MWS(&open) == OL_OK, "Ol_Open_MWS");
    SOCKET reg = accept(g_listener, NULL, NULL);
    ExchangeRequest request = *timing;
    check(Ol_WriteRead(&request, NULL, NULL) == OL_OK, "the link's timing set");
    return reg;
}

/* A block as the register sends it: length, terminal, sequence, type, code,
 * data, checksum. */
static void send_block(SOCKET reg, unsigned char type, const char* data) {
    unsigned char frame[64] = {0, (unsigned char)(4 + strlen(data)), 20, 0, type, 0};
    int length = frame[1] + 2, sum = 0;
    memcpy(frame + 6, data, strlen(data));
    for (int i = 0; i < length; ++i) sum += frame[i];
    frame[length] = (unsigned char)sum;
    send(reg, (const char*)frame, length + 1, 0);
}

static int recv_all(SOCKET s, unsigned char* buffer, int count) {
    for (int in = 0, r; in < count; in += r) {
        if ((r = recv(s, (char*)buffer + in, count - in, 0)) <= 0) return 0;
    }
    return 1;
}

/* The big file: byte i is i % 251. */
enum { kChunk = 251 * 256, kChunks = 128 };
static char g_bigPath[] = "dll_host_big.bin";
static volatile LONG g_framesIntact;

/* The register reads nothing for 2 s, in which the host fills the connection
 * (3 to 5 MB, in about a second here; the send that meets the full connection
 * stops within a frame in some runs, at a frame's end in others). Then every
 * frame must come whole and once: its checksum right and its data the file's
 * next bytes, up to the last block. */
static DWORD WINAPI read_frames(LPVOID socket) {
    SOCKET reg = (SOCKET)(ULONG_PTR)socket;
    unsigned char frame[1460];
    long offset = 0;
    Sleep(2000);
    for (;;) {
        if (!recv_all(reg, frame, 2)) return 0;
        int length = (frame[0] << 8) | frame[1], sum = frame[0] + frame[1];
        if (length < 4 || length > 1457 || !recv_all(reg, frame + 2, length + 1)) return 0;
        for (int i = 2; i < length + 2; ++i) sum += frame[i];
        if ((sum & 0xFF) != frame[length + 2]) return 0;
        for (int i = 6; i < length + 2; ++i, ++offset) {
            if (frame[i] != offset % 251) return 0;
        }
        if ((frame[4] & 0x40) != 0) break;
    }
    InterlockedExchange(&g_framesIntact, offset == (long)kChunk * kChunks);
    return 0;
}

static double cpu_seconds(void) {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

static void network(void) {
    WSADATA wsa;
    WSAStartup(0x0202, &wsa);
    /* A small receive buffer, which accepted connections inherit. */
    g_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int small = 4096;
    setsockopt(g_listener, SOL_SOCKET, SO_RCVBUF, (const char*)&small, sizeof small);
    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(bind(g_listener, (struct sockaddr*)&at, sizeof at) == 0 && listen(g_listener, 1) == 0,
          "the register listens");
    Ol_Initialize();

    /* Silence ends a receive at its limit; a block sent just before the close
     * is read, and the close, reported once by Winsock, stays remembered:
     * every later receive gives 82 at once instead of waiting (39). */
    ExchangeRequest timing = {0};
    timing.receiveWait = 300;
    timing.retries = 3;
    timing.timeout = 100;
    SOCKET reg = open_network(&timing);
    char readPath[] = "dll_host_read.txt";
    DataFileDesc readFile = {0, 0, readPath, 0};
    DWORD start = GetTickCount();
    check(Ol_Read(&readFile) == OL_NO_ANSWER, "silence gives 39");
    DWORD took = GetTickCount() - start;
    check(took >= 250 && took < 3000, "the receive waited its limit");
    send_block(reg, 0x44, "OK");
    closesocket(reg);
    check(Ol_Read(&readFile) == OL_OK && file_is_text(readPath, "OK\r\n"),
          "the block before the close");
    check(Ol_Read(&readFile) == OL_NET_CLOSED, "the close gives 82");
    check(Ol_Read(&readFile) == OL_NET_CLOSED, "a remembered close gives 82 again");
    Ol_Close();

    FILE* f = fopen(g_bigPath, "wb");
    static char chunk[kChunk];
    for (int i = 0; i < kChunk; ++i) chunk[i] = (char)(i % 251);
    for (int i = 0; i < kChunks && f != NULL; ++i) fwrite(chunk, 1, sizeof chunk, f);
    if (f != NULL) fclose(f);
    SendFileDesc big = {g_bigPath, 0};

    /* A register that sent 16 KB and reads nothing: each of the 3 attempts
     * waits 100 ms for room alone (the unread bytes do not end the wait), and
     * the block fails with 38 without spinning. (The drain before each block
     * takes one unread byte instead of waiting 10 ms.) */
    static char unread[16384];
    reg = open_network(&timing);
    check(send(reg, unread, sizeof unread, 0) == sizeof unread, "the register's 16 KB");
    double cpu = cpu_seconds();
    check(Ol_Write(&big) == OL_SEND_FAILED, "a connection that stays full gives 38");
    cpu = cpu_seconds() - cpu;
    if (cpu >= 1.0) printf("CPU seconds: %.2f\n", cpu);
    check(cpu < 1.0, "the attempts waited without spinning");
    Ol_Close();
    closesocket(reg);

    /* A register that reads late: a send that met the full connection goes on
     * from its first byte not yet sent once there is room. */
    timing.timeout = 5000;
    reg = open_network(&timing);
    check(send(reg, unread, sizeof unread, 0) == sizeof unread, "the register's 16 KB");
    HANDLE reader = CreateThread(NULL, 0, read_frames, (LPVOID)(ULONG_PTR)reg, 0, NULL);
    start = GetTickCount();
    check(Ol_Write(&big) == OL_OK, "Ol_Write of 8 MB to a register that reads late");
    check(GetTickCount() - start >= 1900, "the write waited for the register");
    check(WaitForSingleObject(reader, 60000) == WAIT_OBJECT_0 && g_framesIntact,
          "every frame arrived whole and once");
    CloseHandle(reader);
    Ol_Close();
    closesocket(reg);
    closesocket(g_listener);
    Ol_End();
    WSACleanup();
}

/* Ol_Write and Ol_Read over the pipe: one packet each way per exchange, a
 * 1024-byte transfer led by the packet's length; the packet's KIND is its
 * third byte and the data follow its 22 header bytes. */
static void usb(void) {
    char device[64], message[1024];
    HANDLE pipe = pipe_serve(device);
    Ol_Initialize();
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "no monitor window before the open");
    UsbOpenRecord open = {device};
    check(Ol_Open_USB(&open) == OL_OK, "Ol_Open_USB on the pipe");
    pipe_connect(pipe);
    WNDCLASSEXA wc = {0};
    wc.cbSize = sizeof wc;
    check(FindWindowA("wh01", "SPV_Thread") != NULL &&
              GetClassInfoExA(GetModuleHandleA("Orv_Lib.dll"), "wh01", &wc),
          "the monitor window, its class registered on the DLL, while open");

    /* The register's packets, queued ahead: the answer to the written block,
     * then the only block of the read. */
    static const char kAnswer[1024] = {0, 22, 0, 0, 0x01},
                      kBlock[1024] = {0, 24, 0, 0, 0x45, [24] = 'O', 'K'};
    pipe_put(pipe, kAnswer, 1024);
    pipe_put(pipe, kBlock, 1024);
    char sendPath[] = "dll_host_usb_send.txt", readPath[] = "dll_host_usb_read.txt";
    put_text(sendPath, "ABC");
    SendFileDesc sendFile = {sendPath, 0};
    DataFileDesc readFile = {0, 0, readPath, 0};
    check(Ol_Write(&sendFile) == OL_OK, "Ol_Write over USB");
    check(Ol_Read(&readFile) == OL_OK && file_is_text(readPath, "OK\r\n"), "Ol_Read over USB");
    check(pipe_get(pipe, message) == 1024 && message[1] == 25 && message[4] == 0x44 &&
              memcmp(message + 24, "ABC", 3) == 0,
          "the written block on the wire");
    check(pipe_get(pipe, message) == 1024 && message[1] == 22 && message[4] == 0x01,
          "the read's request on the wire");

    check(Ol_Close() == OL_OK, "Ol_Close");
    check(FindWindowA("wh01", "SPV_Thread") == NULL, "the monitor window is gone after Ol_Close");
    Ol_End();
    CloseHandle(pipe);
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    exports_version_mutexes();
    network();
    usb();
    return report("dll_host");
}
