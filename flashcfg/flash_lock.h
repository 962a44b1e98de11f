// flash_lock.h -- the appliance-wide lock that keeps flash readers and writers apart.
//
// Every program that touches "/dev/mtd" shares, under the key ftok("/dev/mtd",
// 'a'), one System V semaphore (the guard: 0 free, 1 held) and a 2-byte shared
// memory segment: byte 0 counts the processes reading the flash, byte 1 those
// writing it. Both are created with mode 0666 when missing. The counters are
// only changed while the guard is held: a process reads the guard's value
// while it is held (again within milliseconds, for at most the 10 seconds of
// three readings 5 seconds apart), then adds 1 to it without waiting, updates
// the counters and subtracts 1 again. While this process is counted as a
// reader the signals that would end it are held back (FlashReadLock blocks
// them, FlashReadUnlock lets them through). Readers do
// not exclude each other; a reader counts itself only while byte 1 is 0.
// "/dev/mtd" goes through NasPath, so the key follows NAS_ROOT.
#pragma once

#include <sys/types.h>

enum {
    FLASH_LOCK_PROJECT = 'a',       // ftok's project identifier
    FLASH_LOCK_SEGMENT_SIZE = 2,    // bytes of the counter segment
    FLASH_LOCK_READERS = 0,         // segment byte: processes reading
    FLASH_LOCK_WRITERS = 1,         // segment byte: processes writing
    FLASH_GUARD_READS = 3,          // readings of a held guard before giving up
    FLASH_GUARD_WAIT_SECONDS = 5,   // between those readings (the overall limit)
    FLASH_GUARD_POLL_MS = 2,        // how soon a held guard is looked at again
    FLASH_LOCK_ATTEMPTS = 3,        // FlashReadLock calls per flash access
    FLASH_LOCK_RETRY_SECONDS = 10,  // between those calls
};

// The lock's key: ftok of the mapped device path with 'a'; -1 (errno set)
// when the device path does not exist.
key_t FlashLockKey(void);

// Counts this process as a reader: returns 0 when byte 0 was incremented,
// -1 when the lock was not taken (a writer holds the flash, the guard stayed
// held at three readings, the counter is at its limit, or a system call
// failed; system call failures are printed to standard error with the
// system's error text). May sleep up to 10 seconds waiting for the guard.
int FlashReadLock(void);

// Undoes FlashReadLock: decrements byte 0 under the guard. Returns 0, or -1
// when the guard or the segment could not be reached (or byte 0 was already
// 0, which is then left alone).
int FlashReadUnlock(void);

// Takes the reader lock for one flash access: up to three FlashReadLock
// calls, 10 seconds apart. Returns 0 once it is held, -1 after three
// failures (or at once when the device path does not exist).
int TakeFlashReadLock(void);
