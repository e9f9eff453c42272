/* What the C host programs under wine64 share: counted checks and small
 * files written and compared. */
#ifndef ORV_TESTS_WIN_HOST_CHECK_H
#define ORV_TESTS_WIN_HOST_CHECK_H

#include <stdio.h>
#include <string.h>

static int g_passed, g_failed;

static void check(int ok, const char* what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        printf("FAILED: %s\n", what);
    }
}

static void put_file(const char* path, const void* bytes, size_t count) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) {
        check(0, path);
        return;
    }
    fwrite(bytes, 1, count, f);
    fclose(f);
}

static void put_text(const char* path, const char* text) {
    put_file(path, text, strlen(text));
}

/* True when the file holds exactly the count bytes given. */
static int file_is(const char* path, const void* bytes, size_t count) {
    char buf[4096];
    FILE* f = fopen(path, "rb");
    if (f == NULL) return 0;
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return n == count && memcmp(buf, bytes, count) == 0;
}

static int file_is_text(const char* path, const char* text) {
    return file_is(path, text, strlen(text));
}

#endif
