// disk_manager.h -- tarsel's process record and its loop.
//
// tarsel sleeps a second at a time and serves three request flags set by its
// signal handler: SIGTERM/SIGINT shut down, SIGHUP reloads the configuration,
// SIGUSR1 runs one storage check (however many SIGUSR1 arrived).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "config.h"

struct DiskManagerContext {
    RecorderConfig *pConfig;  // owned; allocated at start-up
    pid_t vidulaPid;          // the parent, read once at start-up
};

extern volatile sig_atomic_t shutdownRequested;
extern volatile sig_atomic_t reloadRequested;
extern volatile sig_atomic_t checkRequested;

// Installs the handler for SIGHUP, SIGINT, SIGTERM and SIGUSR1.
void InstallDiskManagerSignals();

// Runs the one-second loop; never returns.
[[noreturn]] void RunDiskManager(DiskManagerContext *pCtx, const char *configPath);
