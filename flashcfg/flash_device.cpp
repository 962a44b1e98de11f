// flash_device.cpp -- locked reads of the flash device.
#include "flash_device.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "flash_layout.h"
#include "flash_lock.h"
#include "nas_path.h"
#include "whole_io.h"

// The store never writes the flash, so the device is opened read-only.
static int OpenFlashDevice(void) {
    std::string device = NasPath(FLASH_DEVICE_PATH);
    return open(device.c_str(), O_RDONLY);
}

int ReadFlash(unsigned char *buffer, long offset, size_t length) {
    if (buffer == nullptr || offset < 0) return 0;
    if (TakeFlashReadLock() != 0) return 0;
    int ok = 0;
    int fd = OpenFlashDevice();
    if (fd >= 0) {
        if (lseek(fd, offset, SEEK_SET) == offset) {
            ok = ReadAll(fd, buffer, length) == static_cast<ssize_t>(length);
        }
        close(fd);
    }
    FlashReadUnlock();
    return ok;
}

unsigned char *CopyFlashDevice(void) {
    if (TakeFlashReadLock() != 0) return nullptr;
    unsigned char *copy = nullptr;
    int fd = OpenFlashDevice();
    if (fd < 0) {
        perror("MakeFlashMirror:open");
    } else {
        copy = static_cast<unsigned char *>(calloc(FLASH_DEVICE_SIZE, 1));
        if (copy == nullptr) {
            perror("MakeFlashMirror:calloc");
        } else {
            ssize_t got = ReadAll(fd, copy, FLASH_DEVICE_SIZE);
            if (got != FLASH_DEVICE_SIZE) {
                // A short device sets no errno; say so rather than print a stale one.
                if (got >= 0) errno = EIO;
                perror("MakeFlashMirror:read");
                free(copy);
                copy = nullptr;
            }
        }
        close(fd);
    }
    FlashReadUnlock();
    return copy;
}
