/* Loads Orv_Lib.dll the way an existing host does, resolves every export by
 * name and by ordinal, and checks the library frame end to end. */
#include "host_check.h"

typedef void(__stdcall* VoidFn)(void);
typedef uint32_t(__stdcall* PtrFn)(void*);
typedef uint32_t(__stdcall* WordFn)(uint32_t);
typedef uint32_t(__stdcall* Ptr3Fn)(void*, void*, void*);

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

int main(void) {
    HMODULE dll = load_dll();
    if (dll == NULL) return 1;
    FARPROC fn[13];
    for (int i = 0; i < 13; ++i) {
        FARPROC byName = GetProcAddress(dll, kExports[i]);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        check(byName != NULL && byName == byOrdinal, kExports[i]);
        fn[i] = byName;
    }
    if (g_failed != 0) return 1;

    WordFn cancel = (WordFn)(void (*)(void))fn[0];
    VoidFn close_ = (VoidFn)(void (*)(void))fn[1];
    Ptr3Fn echoBack = (Ptr3Fn)(void (*)(void))fn[2];
    VoidFn end = (VoidFn)(void (*)(void))fn[3];
    VoidFn initialize = (VoidFn)(void (*)(void))fn[4];
    PtrFn openMws = (PtrFn)(void (*)(void))fn[5];
    PtrFn openRs = (PtrFn)(void (*)(void))fn[6];
    PtrFn openUsb = (PtrFn)(void (*)(void))fn[7];
    PtrFn read = (PtrFn)(void (*)(void))fn[8];
    WordFn signalWrite = (WordFn)(void (*)(void))fn[9];
    PtrFn version = (PtrFn)(void (*)(void))fn[10];
    PtrFn write = (PtrFn)(void (*)(void))fn[11];
    Ptr3Fn writeRead = (Ptr3Fn)(void (*)(void))fn[12];
    (void)close_;

    /* The version text comes from the DLL's version resource. */
    char text[32];
    memset(text, 'x', sizeof text);
    char* record[1] = {text};
    check(version(record) == 0 && strcmp(text, "Ver 1.2") == 0, "Ol_Version before Ol_Initialize");
    check(version(NULL) == 0, "Ol_Version(NULL)");

    /* Before Ol_Initialize. */
    check(openRs(NULL) == 50 && openMws(NULL) == 50 && openUsb(NULL) == 50,
          "opens before init give 50");
    check(cancel(1) == 50, "Ol_Cancel before init gives 50");
    check(mutexes_visible() == 0, "no mutex before Ol_Initialize");

    initialize();
    check(mutexes_visible() == 10, "ten named mutexes after Ol_Initialize");
    check(write(NULL) == 35 && read(NULL) == 35 && writeRead(NULL, NULL, NULL) == 35,
          "transfers without a link give 35");
    check(echoBack(NULL, NULL, NULL) == 35, "Ol_EchoBack without a link gives 35");
    check(signalWrite(3) == 50, "Ol_SignalWrite without the serial link gives 50");
    check(cancel(4) == 50 && cancel(2) == 0 && cancel(1) == 0 && cancel(0) == 0, "Ol_Cancel modes");

    /* A null open record fails after the rules of every open, leaving the
     * network link started: the other links are then refused. */
    check(openMws(NULL) == 35, "Ol_Open_MWS(NULL) gives 35");
    check(openRs(NULL) == 50 && openUsb(NULL) == 50, "other links refused while network started");

    end();
    check(mutexes_visible() == 0, "named mutexes gone after Ol_End");
    check(openRs(NULL) == 50, "opens after Ol_End give 50");
    end();

    /* Initialise twice: the second ends the first use and starts afresh. */
    initialize();
    initialize();
    check(mutexes_visible() == 10, "ten mutexes after a second Ol_Initialize");
    end();
    check(mutexes_visible() == 0, "no mutex left after the last Ol_End");

    FreeLibrary(dll);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
