/* Loads Orv_Lib.dll the way an existing host does, resolves every export by
 * name and by ordinal, and checks what is its own on Windows: the version
 * resource and the named mutexes. */
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

    __typeof__(&Ol_End) end = (__typeof__(&Ol_End))(void (*)(void))fn[3];
    __typeof__(&Ol_Initialize) initialize = (__typeof__(&Ol_Initialize))(void (*)(void))fn[4];
    __typeof__(&Ol_Version) version = (__typeof__(&Ol_Version))(void (*)(void))fn[10];

    /* The version text comes from the DLL's version resource. */
    char text[32];
    memset(text, 'x', sizeof text);
    VersionRecord record = {text};
    check(version(&record) == 0 && strcmp(text, "Ver 1.2") == 0, "Ol_Version before Ol_Initialize");

    /* The ten named mutexes live from Ol_Initialize to Ol_End. The results of
     * the exports without a link are the library's own, checked on Linux. */
    check(mutexes_visible() == 0, "no mutex before Ol_Initialize");
    initialize();
    check(mutexes_visible() == 10, "ten named mutexes after Ol_Initialize");
    end();
    check(mutexes_visible() == 0, "named mutexes gone after Ol_End");
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
