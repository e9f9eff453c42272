// The product version text comes from the DLL's own version resource, looked up
// by the bare file name "Orv_Lib.dll" through the version API, taking the
// first language/code-page entry of the translation table that has one.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/system.h"

namespace orv::platform {

void CopyProductVersion(char* buffer) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA("Orv_Lib.dll", &ignored);
    if (size == 0) return;
    auto* info = new (std::nothrow) unsigned char[size];
    if (info == nullptr) return;
    if (!GetFileVersionInfoA("Orv_Lib.dll", 0, size, info)) {
        delete[] info;
        return;
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* table = nullptr;
    UINT tableBytes = 0;
    if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&table),
                        &tableBytes) ||
        tableBytes < 4) {
        delete[] info;
        return;
    }
    for (UINT i = 0; i < tableBytes / 4; ++i) {
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\ProductVersion",
                      table[i].language, table[i].codePage);
        char* text = nullptr;
        UINT textLength = 0;
        if (VerQueryValueA(info, query, reinterpret_cast<LPVOID*>(&text), &textLength) &&
            text != nullptr) {
            std::memcpy(buffer, text, std::strlen(text) + 1);
            break;
        }
    }
    delete[] info;
}

std::FILE* OpenTraceFile(const char* path) {
    // Without security attributes the handle is not inherited by child
    // processes; the file gets the default security of its folder.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "ab");
    if (file == nullptr) _close(fd);
    return file;
}

void LocalTimestamp(char* out, std::size_t size) {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    std::snprintf(out, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", unsigned{local.wYear},
                  unsigned{local.wMonth}, unsigned{local.wDay}, unsigned{local.wHour},
                  unsigned{local.wMinute}, unsigned{local.wSecond}, unsigned{local.wMilliseconds});
}

}  // namespace orv::platform
