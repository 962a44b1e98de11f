// flash_writer.cpp -- a stand-in for an appliance program that writes the flash settings.
//
// Takes the writers' side of the flash lock keyed on "/dev/mtd" (under
// NAS_ROOT when set): under the guard semaphore, and once no process reads,
// counts itself in byte 1 of the 2-byte segment, then holds the flash until
// SIGTERM or SIGINT and counts itself out again. With -g it holds the guard
// semaphore itself instead. Prints one line when it holds and one when it
// has let go. With -s it only prints the two counts ("readers=R writers=W")
// under the guard and ends.
//
//   flash_writer [-g | -s]
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "nas_path.h"

static volatile sig_atomic_t gStop = 0;
static void OnSignal(int) { gStop = 1; }

// Waits until the guard is 0 and raises it to 1, in one operation.
static int TakeGuard(int semId) {
    struct sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    while (semop(semId, ops, 2) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
}

static int ReleaseGuard(int semId) {
    struct sembuf op = {0, -1, SEM_UNDO};
    return semop(semId, &op, 1);
}

static void WaitForStop(void) {
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &old);
    while (!gStop) sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Counts this process in (delta 1, once byte 0 is 0) or out (delta -1) of byte 1.
static int ChangeWriters(int semId, unsigned char *counters, int delta) {
    for (;;) {
        if (TakeGuard(semId) != 0) return -1;
        if (delta < 0 || counters[0] == 0) {
            counters[1] = static_cast<unsigned char>(counters[1] + delta);
            return ReleaseGuard(semId);
        }
        ReleaseGuard(semId);
        struct timespec pause = {0, 10 * 1000 * 1000};  // a reader is at work
        nanosleep(&pause, nullptr);
    }
}

int main(int argc, char **argv) {
    bool holdGuard = false, showCounts = false;
    int option;
    while ((option = getopt(argc, argv, "ghs")) != -1) {
        if (option == 'g') {
            holdGuard = true;
        } else if (option == 's') {
            showCounts = true;
        } else {
            fprintf(stderr, "usage: flash_writer [-g | -s]\n");
            return 2;
        }
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::string device = NasPath("/dev/mtd");
    key_t key = ftok(device.c_str(), 'a');
    int semId = key == -1 ? -1 : semget(key, 1, IPC_CREAT | 0666);
    int shmId = key == -1 ? -1 : shmget(key, 2, IPC_CREAT | 0666);
    void *at = shmId == -1 ? reinterpret_cast<void *>(-1) : shmat(shmId, nullptr, 0);
    if (semId == -1 || at == reinterpret_cast<void *>(-1)) {
        fprintf(stderr, "flash_writer: cannot reach the flash lock of %s: %s\n", device.c_str(),
                strerror(errno));
        return 1;
    }
    unsigned char *counters = static_cast<unsigned char *>(at);

    if (showCounts) {
        if (TakeGuard(semId) != 0) return 1;
        printf("readers=%d writers=%d\n", counters[0], counters[1]);
        ReleaseGuard(semId);
        shmdt(counters);
        return 0;
    }
    if (holdGuard) {
        if (TakeGuard(semId) != 0) return 1;
        printf("flash_writer: holding the guard\n");
        fflush(stdout);
        WaitForStop();
        ReleaseGuard(semId);
    } else {
        if (ChangeWriters(semId, counters, 1) != 0) return 1;
        printf("flash_writer: holding the flash (writers=%d)\n", counters[1]);
        fflush(stdout);
        WaitForStop();
        if (ChangeWriters(semId, counters, -1) != 0) return 1;
    }
    printf("flash_writer: released\n");
    fflush(stdout);
    shmdt(counters);
    return 0;
}
