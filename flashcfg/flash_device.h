// flash_device.h -- reading the flash device under the reader lock.
//
// Both operations open the mapped "/dev/mtd" for each access, holding the
// reader lock (TakeFlashReadLock) from before the open until after the
// close, and release it on every path.
#pragma once

#include <stddef.h>

// Reads length bytes at offset of the device into buffer. Returns 1 when all
// of them were read, 0 otherwise (lock not taken, device missing, short
// device, read error).
// REQUIRES: buffer has room for length bytes.
int ReadFlash(unsigned char *buffer, long offset, size_t length);

// A zero-filled copy of the whole device (FLASH_DEVICE_SIZE bytes, to be
// released with free), or null on failure after printing the system error
// for "MakeFlashMirror:open", "MakeFlashMirror:calloc" or
// "MakeFlashMirror:read" (a device shorter than FLASH_DEVICE_SIZE).
unsigned char *CopyFlashDevice(void);
