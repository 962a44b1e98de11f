// flash_lock.cpp -- the reader side of the flash lock (guard semaphore and counters).
#include "flash_lock.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "flash_layout.h"
#include "nas_path.h"

// Sleeps the whole time even when a signal handler interrupts the sleep.
static void SleepSeconds(unsigned int seconds) {
    while (seconds > 0) seconds = sleep(seconds);
}

static void SleepMilliseconds(long ms) {
    struct timespec rest = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// While this process is counted as a reader, the signals that would end it
// wait: a process ended in that window would leave the count raised for
// ever and keep every writer out. The window is one read of the device.
static sigset_t gMaskBeforeCount;
static int gCountRaised = 0;

static void HoldEndingSignals(void) {
    sigset_t all;
    sigfillset(&all);
    // Faults of the process itself cannot wait.
    sigdelset(&all, SIGSEGV);
    sigdelset(&all, SIGBUS);
    sigdelset(&all, SIGFPE);
    sigdelset(&all, SIGILL);
    if (gCountRaised++ == 0) sigprocmask(SIG_BLOCK, &all, &gMaskBeforeCount);
}

static void ReleaseEndingSignals(void) {
    if (gCountRaised > 0 && --gCountRaised == 0)
        sigprocmask(SIG_SETMASK, &gMaskBeforeCount, nullptr);
}

key_t FlashLockKey(void) {
    std::string device = NasPath(FLASH_DEVICE_PATH);
    return ftok(device.c_str(), FLASH_LOCK_PROJECT);
}

// Adds delta to the guard without waiting. SEM_UNDO hands the guard back
// should this process die while it holds it; the adjustments of a take and
// its release cancel out.
static int ChangeGuard(int semId, short delta) {
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = IPC_NOWAIT | SEM_UNDO;
    if (semop(semId, &op, 1) != 0) {
        perror("error:semop");
        return -1;
    }
    return 0;
}

// The guard's set, its value read until it is free, then taken. Returns the
// set's id, or -1. The guard is held only for a few instructions, so it is
// looked at again within milliseconds; the wait ends, as ever, after the
// time of three readings 5 seconds apart.
static int TakeGuard(key_t key) {
    int semId = semget(key, 1, IPC_CREAT | 0666);
    if (semId == -1) {
        perror("semget");
        return -1;
    }
    const long limitMs = (FLASH_GUARD_READS - 1) * FLASH_GUARD_WAIT_SECONDS * 1000L;
    for (long waitedMs = 0;; waitedMs += FLASH_GUARD_POLL_MS) {
        int value = semctl(semId, 0, GETVAL);
        if (value == -1) {
            perror("semctl:GETVAL");
            return -1;
        }
        if (value < 1) break;
        if (waitedMs >= limitMs) return -1;
        SleepMilliseconds(FLASH_GUARD_POLL_MS);
    }
    return ChangeGuard(semId, 1) == 0 ? semId : -1;
}

// The counter segment, attached; null on failure.
static unsigned char *AttachCounters(key_t key) {
    int shmId = shmget(key, FLASH_LOCK_SEGMENT_SIZE, IPC_CREAT | 0666);
    if (shmId == -1) {
        perror("shmget");
        return nullptr;
    }
    void *at = shmat(shmId, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1)) {
        perror("shmat");
        return nullptr;
    }
    return static_cast<unsigned char *>(at);
}

// Takes the guard, lets change() update the counters, releases the guard.
// change returns 0 or -1, which becomes the result.
template <typename Change>
static int WithCounters(Change change) {
    key_t key = FlashLockKey();
    if (key == -1) {
        perror("ftok");
        return -1;
    }
    int semId = TakeGuard(key);
    if (semId == -1) return -1;
    unsigned char *counters = AttachCounters(key);
    if (counters == nullptr) {
        ChangeGuard(semId, -1);
        return -1;
    }
    int result = change(counters);
    ChangeGuard(semId, -1);
    if (shmdt(counters) != 0) perror("shmdt");
    return result;
}

int FlashReadLock(void) {
    return WithCounters([](unsigned char *counters) {
        if (counters[FLASH_LOCK_WRITERS] != 0) return -1;
        // A full counter would wrap to 0 and let a writer in under readers.
        if (counters[FLASH_LOCK_READERS] == 0xff) return -1;
        HoldEndingSignals();
        counters[FLASH_LOCK_READERS]++;
        return 0;
    });
}

int FlashReadUnlock(void) {
    int result = WithCounters([](unsigned char *counters) {
        // Never below 0: a wrapped counter would lock writers out for good.
        if (counters[FLASH_LOCK_READERS] == 0) return -1;
        counters[FLASH_LOCK_READERS]--;
        return 0;
    });
    ReleaseEndingSignals();
    return result;
}

int TakeFlashReadLock(void) {
    if (FlashLockKey() == -1) {
        perror("ftok");
        return -1;
    }
    for (int attempt = 1;; attempt++) {
        if (FlashReadLock() == 0) return 0;
        if (attempt == FLASH_LOCK_ATTEMPTS) return -1;
        SleepSeconds(FLASH_LOCK_RETRY_SECONDS);
    }
}
