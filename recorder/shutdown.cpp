// shutdown.cpp -- vidula's orderly end: tarsel stopped, viewers and the
// recording closed, memory given back, exit status 1.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "logging.h"
#include "lv_server.h"
#include "recorder.h"
#include "recording.h"

void Shutdown(RecorderContext *pCtx) {
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Program shut down");
    if (pCtx == nullptr) exit(1);
    if (pCtx->diskManagerPid != -1) kill(pCtx->diskManagerPid, SIGTERM);
    StopLvServer(pCtx);
    if (pCtx->session.avi != nullptr) RecordingBlocked(pCtx);
    for (struct pollfd &entry : pCtx->connection) {
        if (entry.fd != -1) {
            close(entry.fd);
            entry.fd = -1;
        }
    }
    ReapChild();
    // A fixed reminder line of the log (with -v), kept as the system writes it.
    LogRemind("Shutdown() is not finished");
    FreeFrameBuffer(&pCtx->frameBuffer);
    delete pCtx->pConfig;
    pCtx->pConfig = nullptr;
    exit(1);
}
