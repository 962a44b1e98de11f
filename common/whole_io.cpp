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

int WriteAllAt(int fd, struct iovec *iov, int count, off_t offset) {
    while (count > 0) {
        if (iov->iov_len == 0) {
            iov++;
            count--;
            continue;
        }
        ssize_t n = pwritev(fd, iov, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        offset += n;
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return 0;
}
