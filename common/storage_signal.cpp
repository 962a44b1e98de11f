// storage_signal.cpp -- signals to vidula that are neither merged nor
// overtaken.
#include "storage_signal.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "logging.h"

enum { SIGNAL_WAIT_STEP_NS = 1000000, SIGNAL_WAIT_STEPS = 250 };

// Reads the pending-signal masks of pid (the thread's own and the process's
// shared one) from /proc. Returns 0 and sets *mask, or 1.
static int ReadPendingSignals(pid_t pid, unsigned long long *mask) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
    FILE *status = fopen(path, "r");
    if (status == nullptr) return 1;
    char line[256];
    int found = 0;
    *mask = 0;
    while (fgets(line, sizeof(line), status) != nullptr) {
        if (strncmp(line, "SigPnd:", 7) == 0 || strncmp(line, "ShdPnd:", 7) == 0) {
            *mask |= strtoull(line + 7, nullptr, 16);
            found++;
        }
    }
    fclose(status);
    return found > 0 ? 0 : 1;
}

void WaitSignalsTaken(pid_t pid) {
    if (pid <= 0) return;
    const unsigned long long ours = (1ULL << (SIGUSR1 - 1)) | (1ULL << (SIGUSR2 - 1));
    struct timespec step = {0, SIGNAL_WAIT_STEP_NS};
    for (int i = 0; i < SIGNAL_WAIT_STEPS; i++) {
        unsigned long long pending;
        if (ReadPendingSignals(pid, &pending) != 0 || (pending & ours) == 0) return;
        nanosleep(&step, nullptr);
    }
}

int QueueSignalToVidula(pid_t pid, int value) {
    // A pid of 0 or below would signal a whole process group.
    if (pid <= 0) return 1;
    WaitSignalsTaken(pid);
    union sigval sent;
    sent.sival_int = value;
    return sigqueue(pid, SIGUSR1, sent) == 0 ? 0 : 1;
}

int BlockVidula(pid_t pid) {
    if (pid <= 0) return 1;
    WaitSignalsTaken(pid);
    return kill(pid, SIGUSR2) == 0 ? 0 : 1;
}

int NotifyVidulaManager(pid_t pid, int code, const char *text) {
    WaitSignalsTaken(pid);
    return NotifyManagerVia(pid, code, text);
}
