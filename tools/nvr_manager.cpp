// nvr_manager.cpp -- a stand-in for the appliance's NVR manager.
//
// Starts the recorder as its child, reads ManagerRecords from the queue keyed
// from KEYPATH whenever the child wakes it with SIGUSR1, prints each record,
// and starts the child again when it ends. SIGTERM or SIGINT stops the child
// and the stand-in.
//
//   nvr_manager -q KEYPATH [-n STARTS] PROGRAM [ARGS...]
//
// -n bounds how many times PROGRAM is started (default: no bound).
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#include "bytes.h"
#include "logging.h"

static volatile sig_atomic_t gWoken = 0;
static volatile sig_atomic_t gStop = 0;
static volatile sig_atomic_t gChildEnded = 0;

static void OnSignal(int sig) {
    if (sig == SIGUSR1) gWoken = 1;
    if (sig == SIGCHLD) gChildEnded = 1;
    if (sig == SIGTERM || sig == SIGINT) gStop = 1;
}

static void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

static void DrainQueue(int queue) {
    ManagerRecord record;
    while (msgrcv(queue, &record, MANAGER_RECORD_SIZE, MANAGER_RECORD_TYPE, IPC_NOWAIT) >= 0) {
        char text[MANAGER_RECORD_TEXT_SIZE + 1];
        memcpy(text, record.body + 6, MANAGER_RECORD_TEXT_SIZE);
        text[MANAGER_RECORD_TEXT_SIZE] = '\0';
        Say("manager: record code=%u pid=%d text=%s\n", GetLe16(record.body + 4),
            static_cast<int>(GetLe32(record.body)), text);
    }
}

static pid_t StartChild(char **argv) {
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv);
        fprintf(stderr, "nvr_manager: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (pid > 0) Say("manager: started %s as pid %d\n", argv[0], static_cast<int>(pid));
    return pid;
}

int main(int argc, char **argv) {
    const char *keyPath = nullptr;
    long maxStarts = -1;
    int option;
    while ((option = getopt(argc, argv, "+q:n:h")) != -1) {
        if (option == 'q')
            keyPath = optarg;
        else if (option == 'n')
            maxStarts = atol(optarg);
        else {
            fprintf(stderr, "usage: nvr_manager -q KEYPATH [-n STARTS] PROGRAM [ARGS...]\n");
            return 2;
        }
    }
    if (keyPath == nullptr || optind >= argc) {
        fprintf(stderr, "usage: nvr_manager -q KEYPATH [-n STARTS] PROGRAM [ARGS...]\n");
        return 2;
    }
    key_t key = ftok(keyPath, 0x31);
    int queue = key == -1 ? -1 : msgget(key, IPC_CREAT | 0660);
    if (queue == -1) {
        fprintf(stderr, "nvr_manager: cannot open the queue of %s: %s\n", keyPath, strerror(errno));
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    for (int sig : {SIGUSR1, SIGCHLD, SIGTERM, SIGINT}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&blocked, sig);
    }
    // The signals are only taken inside sigsuspend, so none is missed
    // between testing the flags and waiting.
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);

    long starts = 0;
    pid_t child = StartChild(argv + optind);
    starts++;
    while (!gStop) {
        sigsuspend(&waitMask);
        if (gWoken) {
            gWoken = 0;
            DrainQueue(queue);
        }
        if (gChildEnded) {
            gChildEnded = 0;
            int status;
            pid_t pid;
            while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
                if (pid != child) continue;
                if (WIFEXITED(status))
                    Say("manager: pid %d exited with status %d\n", pid, WEXITSTATUS(status));
                else
                    Say("manager: pid %d ended by signal %d\n", pid, WTERMSIG(status));
                DrainQueue(queue);
                child = -1;
                if (maxStarts >= 0 && starts >= maxStarts) {
                    Say("manager: done\n");
                    return 0;
                }
                child = StartChild(argv + optind);
                starts++;
            }
        }
    }
    if (child > 0) {
        kill(child, SIGTERM);
        int status;
        waitpid(child, &status, 0);
        Say("manager: pid %d stopped\n", static_cast<int>(child));
    }
    DrainQueue(queue);
    return 0;
}
