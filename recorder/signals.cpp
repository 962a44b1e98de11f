// signals.cpp -- vidula's signal handlers: they only set the loop's flags.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "logging.h"
#include "recorder.h"
#include "signal_log.h"

volatile sig_atomic_t shutdownRequested = 0;
volatile sig_atomic_t reloadRequested = 0;
volatile sig_atomic_t recordingBlocked = 0;
volatile sig_atomic_t notifyParent = 0;
volatile sig_atomic_t childExited = 0;

// The queued value that tarsel sends with SIGUSR1.
enum { SIGNAL_VALUE_NOTIFY_PARENT = 1, SIGNAL_VALUE_SPACE_OK = 2 };

static void HandleSignal(int sig) {
    if (gLogging.verbose) NoteSignal(sig, SIGNAL_NOTE_PLAIN, 0);
    switch (sig) {
        case SIGCHLD:
            childExited = 1;
            break;
        case SIGTERM:
        case SIGINT:
            shutdownRequested = 1;
            break;
        case SIGHUP:
            reloadRequested = 1;
            break;
        case SIGUSR2:
            recordingBlocked = 1;
            break;
        default:
            break;
    }
}

static void HandleQueuedSignal(int sig, siginfo_t *info, void *) {
    int value = info != nullptr ? info->si_value.sival_int : 0;
    int kind = SIGNAL_NOTE_VALUE;
    if (value == SIGNAL_VALUE_NOTIFY_PARENT) {
        notifyParent = 1;
    } else if (value == SIGNAL_VALUE_SPACE_OK) {
        recordingBlocked = 0;
    } else {
        kind = SIGNAL_NOTE_UNDEFINED;
    }
    if (gLogging.verbose) NoteSignal(sig, kind, value);
}

static void Install(int sig, struct sigaction *action) {
    if (sigaction(sig, action, nullptr) != 0) {
        PrintConsole("(%s) Error: Sigaction failed\n", gLogging.programName);
        exit(1);
    }
}

void InstallSignalHandlers() {
    // No SA_RESTART: a signal ends poll() and sleep() early, so the loop
    // serves it at once.
    struct sigaction plain;
    memset(&plain, 0, sizeof(plain));
    plain.sa_handler = HandleSignal;
    sigemptyset(&plain.sa_mask);
    for (int sig : {SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGUSR2}) Install(sig, &plain);

    struct sigaction queued;
    memset(&queued, 0, sizeof(queued));
    queued.sa_sigaction = HandleQueuedSignal;
    queued.sa_flags = SA_SIGINFO;
    sigemptyset(&queued.sa_mask);
    Install(SIGUSR1, &queued);

    // A viewer or camera that hangs up makes a write fail with EPIPE instead
    // of ending the recorder.
    signal(SIGPIPE, SIG_IGN);
}

void LogReceivedSignals() { FlushSignalNotes(); }
