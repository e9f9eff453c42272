/* Linux side of the Windows serial test: makes a pty, maps it as COM<n> in the
 * Wine prefix, runs the given command and answers what it writes: "PONG" to
 * "PING", "XYZ" to "JUNK". Exits with the command's status.
 *
 *   pty_peer <wineprefix> <n> <command> [args...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static int ends_with(const char* window, size_t length, const char* tail) {
    size_t n = strlen(tail);
    return length >= n && memcmp(window + length - n, tail, n) == 0;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: pty_peer <wineprefix> <n> <command> [args...]\n");
        return 2;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        perror("pty");
        return 2;
    }
    int slave = open(name, O_RDWR | O_NOCTTY); /* held open: no hang-up between opens */
    struct termios settings;
    if (slave >= 0 && tcgetattr(slave, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
    }
    char link[4096];
    snprintf(link, sizeof link, "%s/dosdevices/com%s", argv[1], argv[2]);
    unlink(link);
    if (symlink(name, link) != 0) {
        perror(link);
        return 2;
    }

    pid_t child = fork();
    if (child == 0) {
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    char window[64];
    size_t length = 0;
    int status = 0;
    for (;;) {
        if (waitpid(child, &status, WNOHANG) == child) break;
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0 || (p.revents & POLLIN) == 0) continue;
        char byte;
        if (read(master, &byte, 1) != 1) continue;
        if (length == sizeof window) {
            memmove(window, window + 1, sizeof window - 1);
            --length;
        }
        window[length++] = byte;
        if (ends_with(window, length, "PING") && write(master, "PONG", 4) != 4) break;
        if (ends_with(window, length, "JUNK") && write(master, "XYZ", 3) != 3) break;
    }
    unlink(link);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
