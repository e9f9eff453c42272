// Loading and unloading do no work of the library's own: every cell starts at
// its initial value, and the host calls Ol_End before it unloads the library.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
