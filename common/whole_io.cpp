// whole_io.cpp -- whole-buffer reads and writes.
#include "whole_io.h"

#include <errno.h>
#include <unistd.h>

int WriteAll(int fd, const void *buffer, size_t size) {
    const char *p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

ssize_t ReadAll(int fd, void *buffer, size_t size) {
    char *p = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}
