// disk_manager.cpp -- tarsel's signal handler, reload, shutdown and loop.
#include "disk_manager.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <initializer_list>

#include "logging.h"
#include "signal_log.h"
#include "storage.h"

volatile sig_atomic_t shutdownRequested = 0;
volatile sig_atomic_t reloadRequested = 0;
volatile sig_atomic_t checkRequested = 0;

static void HandleDiskManagerSignal(int sig) {
    switch (sig) {
        case SIGINT:
        case SIGTERM:
            shutdownRequested = 1;
            break;
        case SIGHUP:
            reloadRequested = 1;
            break;
        case SIGUSR1:
            checkRequested = 1;
            break;
        default:
            if (gLogging.verbose) NoteSignal(sig, SIGNAL_NOTE_IGNORED, 0);
            return;
    }
    if (gLogging.verbose) NoteSignal(sig, SIGNAL_NOTE_PLAIN, 0);
}

void InstallDiskManagerSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = HandleDiskManagerSignal;
    // Reads of du, df and ls output are resumed after a request arrives; the
    // one-second sleep still ends early, since sleeps are never restarted.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigset_t requests;
    sigemptyset(&requests);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&requests, sig);
    }
    // vidula starts tarsel with these blocked, so that none is lost or fatal
    // before the handler is in place; pending ones are taken now.
    sigprocmask(SIG_UNBLOCK, &requests, nullptr);
}

static void ReloadDiskManager(DiskManagerContext *pCtx, const char *configPath) {
    PrintConsole("(%s) Reload config file %s\n", gLogging.programName, configPath);
    if (pCtx == nullptr) {
        LogError("null pointer pCtx when reloading config file");
        return;
    }
    if (pCtx->pConfig == nullptr) {
        LogError("null pointer pConfig when reloading config file");
        return;
    }
    if (LoadConfig(pCtx->pConfig, configPath) == CONFIG_FATAL) exit(1);
    OpenMessageQueues(pCtx->pConfig->nvr_log_mq, pCtx->pConfig->nvr_manager_mq,
                      pCtx->pConfig->nvr_log_console);
}

[[noreturn]] static void ShutdownDiskManager(DiskManagerContext *pCtx) {
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Program shut down");
    if (pCtx != nullptr) {
        // A fixed reminder line of the log (with -v), kept as the system writes it.
        LogRemind("Shutdown() is not finished");
        delete pCtx->pConfig;
        pCtx->pConfig = nullptr;
    }
    exit(1);
}

void RunDiskManager(DiskManagerContext *pCtx, const char *configPath) {
    // tarsel never outlives vidula, however vidula ends (a kill, a crash):
    // an orphan would go on deleting beside the next recorder's tarsel. The
    // kernel sends SIGTERM when the parent dies; the parent test below also
    // covers a death before this call.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (;;) {
        if (getppid() != pCtx->vidulaPid && !shutdownRequested) {
            LogWarning("VIDULA(%d) has ended", static_cast<int>(pCtx->vidulaPid));
            shutdownRequested = 1;
        }
        if (!shutdownRequested) sleep(1);  // a signal ends it early
        FlushSignalNotes();
        if (getppid() != pCtx->vidulaPid) shutdownRequested = 1;
        if (shutdownRequested) {
            LogWarning("Processing signal and shutdown");
            ShutdownDiskManager(pCtx);
        } else if (reloadRequested) {
            reloadRequested = 0;
            ReloadDiskManager(pCtx, configPath);
        } else if (checkRequested) {
            checkRequested = 0;
            CheckStorage(pCtx->pConfig, pCtx->vidulaPid);
        }
    }
}
