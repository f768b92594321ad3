/* Preloaded into the sandbox: once the file named by KESTREL_EIO_WHEN exists,
 * every write to a file below the tagsheet tree fails with EIO, as on a card
 * that has begun to fail. Every other write goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char tagsheets[] = "/home/pi/Configuration/Tagsheets/";

static int failing(int fd) {
    const char* when = getenv("KESTREL_EIO_WHEN");
    char link[64];
    char target[4096];
    ssize_t length;
    if (when == NULL || access(when, F_OK) != 0) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    length = readlink(link, target, sizeof target - 1);
    if (length < 0) return 0;
    target[length] = '\0';
    return strncmp(target, tagsheets, sizeof tagsheets - 1) == 0;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static ssize_t (*real_write)(int, const void*, size_t);
    int saved = errno;
    if (real_write == NULL) real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (failing(fd)) {
        errno = EIO;
        return -1;
    }
    errno = saved;
    return real_write(fd, buffer, count);
}
