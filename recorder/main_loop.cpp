// main_loop.cpp -- vidula's one poll() loop: signal flags, camera
// reconnection, timers, and the handlers of the seven connection entries.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "camera.h"
#include "logging.h"
#include "lv_server.h"
#include "recorder.h"
#include "recording.h"

int HandleIdleTimeout(RecorderContext *pCtx) {
    LogError("IP camera idle timeout");
    NotifyManager(NOTIFY_CAMERA_FAILURE, "IP camera idle timeout");
    RecordingBlocked(pCtx);
    DoDisconnectIPcam(pCtx);
    return 0;
}

// Reaps every child that has ended; a tarsel that ended is started again,
// with one retry after diskManagerRetrySeconds (10).
static void RestartDiskManager(RecorderContext *pCtx) {
    pid_t pid;
    while ((pid = ReapChild()) != -1) {
        if (pid != pCtx->diskManagerPid) continue;
        pCtx->diskManagerPid = -1;
        if (StartDiskManager(pCtx) == -1) {
            sleep(static_cast<unsigned>(pCtx->diskManagerRetrySeconds));
            if (StartDiskManager(pCtx) == -1) Shutdown(pCtx);
        }
    }
}

static void Reload(RecorderContext *pCtx) {
    reloadRequested = 0;
    if (ReloadConfig(pCtx, pCtx->pConfig->configPath) != 0) Shutdown(pCtx);
}

// The flags the signal handlers set: logged, then served.
static void ServeSignalFlags(RecorderContext *pCtx) {
    LogReceivedSignals();
    if (shutdownRequested) {
        LogWarning("Processing signal and shutdown");
        Shutdown(pCtx);
    }
    if (childExited) {
        // Cleared first: a child that ends during the restart sets it again.
        childExited = 0;
        RestartDiskManager(pCtx);
    }
    if (notifyParent) {
        notifyParent = 0;
        WakeParent();
    }
    if (recordingBlocked && pCtx->session.avi != nullptr) RecordingBlocked(pCtx);
    if (reloadRequested) {
        Reload(pCtx);
        cameraErrorReportArmed = 1;
        pCtx->camera.reconnectCount = 0;
    }
}

// Sleeps the whole back-off delay. Signals that only set a flag for later
// (tarsel's answers, SIGCHLD) do not cut it short; a shutdown or reload
// request ends it so that the loop serves it at once.
static void BackOffSleep(int seconds) {
    struct timespec left = {seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        if (shutdownRequested || reloadRequested) return;
    }
}

// The camera is wanted but not connected: the whole process sleeps
// the back-off delay (0, 1, 3, 7, ... 300 seconds).
static void ReconnectCamera(RecorderContext *pCtx) {
    if (!pCtx->cameraSchedule.enabled || pCtx->connection[pCtx->cameraIndex].fd != -1) return;
    pCtx->camera.reconnectCount++;
    if (pCtx->camera.reconnectCount == 3)
        NotifyManager(NOTIFY_CAMERA_FAILURE, "fail to connect IP camera");
    if (pCtx->camera.reconnectDelay > 0) BackOffSleep(pCtx->camera.reconnectDelay);
    pCtx->camera.reconnectDelay = pCtx->camera.reconnectDelay * 2 + 1;
    if (pCtx->camera.reconnectDelay > RECONNECT_DELAY_MAX)
        pCtx->camera.reconnectDelay = RECONNECT_DELAY_MAX;
    if (pCtx->camera.reconnectCount == 2) LogError("IP camera is not connected");
    DoConnectIPcam(pCtx);
}

// The timers of a pass: file change, idle time-out, live video server restart.
static void RunTimers(RecorderContext *pCtx) {
    const RecorderConfig *config = pCtx->pConfig;
    time_t now = pCtx->now.tv_sec;
    if (pCtx->recordSchedule.enabled && pCtx->session.avi != nullptr &&
        now >= pCtx->session.changeFileTime.tv_sec) {
        ChangeRecordingFile(pCtx);
    }
    time_t lastFrame = pCtx->frameBuffer.lastFrameTime.tv_sec;
    if (pCtx->cameraSchedule.enabled && lastFrame > 0 && pCtx->camera.cameraState != 1 &&
        config->nvr_connection_idle_timeout > 0 &&
        now - lastFrame > config->nvr_connection_idle_timeout) {
        HandleIdleTimeout(pCtx);
    }
    if (config->lvs_server_port != 0 && pCtx->connection[pCtx->lvServerIndex].fd == -1 &&
        now - pCtx->lvServer.lastLvServerStart.tv_sec > pCtx->lvServer.retrySeconds) {
        StartLvServer(pCtx);
        pCtx->lvServer.lastLvServerStart = pCtx->now;
    }
}

void DispatchConnection(RecorderContext *pCtx, int index) {
    if (index == pCtx->cameraIndex) {
        HandleCameraEvent(pCtx, index);
    } else if (index == pCtx->lvServerIndex) {
        AcceptLvClient(pCtx, index);
    } else if (index > pCtx->lvServerIndex && index <= pCtx->lvServerIndex + LV_CLIENT_COUNT) {
        HandleLvClientEvent(pCtx, index);
    }
}

// The wall clock less the monotonic one, in microseconds: it changes only
// when the wall clock is stepped. A change of more than a second between
// two passes is a step, which the recording follows (HandleClockStep)
// instead of taking it for a camera gap.
static void FollowClockSteps(RecorderContext *pCtx) {
    static bool known = false;
    static int64_t lastOffset = 0;
    struct timespec mono;
    if (clock_gettime(CLOCK_MONOTONIC, &mono) != 0) return;
    int64_t offset = (int64_t{pCtx->now.tv_sec} * 1000000 + pCtx->now.tv_usec) -
                     (int64_t{mono.tv_sec} * 1000000 + mono.tv_nsec / 1000);
    int64_t change = offset - lastOffset;
    if (known && (change > 1000000 || change < -1000000)) {
        time_t step = static_cast<time_t>((change + (change > 0 ? 500000 : -500000)) / 1000000);
        pCtx->lvServer.lastLvServerStart.tv_sec += step;
        HandleClockStep(pCtx, step);
    }
    lastOffset = offset;
    known = true;
}

int RunMainLoop(RecorderContext *pCtx) {
    for (;;) {
        ServeSignalFlags(pCtx);
        ReconnectCamera(pCtx);
        // A stop or reload requested during the back-off is served before
        // poll() would wait for a whole timeout.
        if (shutdownRequested || reloadRequested) continue;
        PrepareLvClientEvents(pCtx);
        int ready = poll(pCtx->connection, CONNECTION_COUNT, pCtx->pollTimeout);
        int pollErrno = errno;
        if (gettimeofday(&pCtx->now, nullptr) != 0) {
            LogError("Fail to get system time");
            return 0;
        }
        FollowClockSteps(pCtx);
        RunTimers(pCtx);
        if (ready == 0) continue;
        if (ready < 0) {
            if (pollErrno == EINTR) {
                LogReceivedSignals();
                if (shutdownRequested) {
                    LogWarning("Processing signal and shutdown");
                    Shutdown(pCtx);
                } else if (reloadRequested) {
                    Reload(pCtx);
                }
                continue;
            }
            if (pollErrno == EBADF) {
                LogError("There is an invalid file descriptor in ctx.connection[]");
                return 0;
            }
            LogError("Fatal error occurs when polling socket connections");
            return 0;
        }
        for (int index = 0; index < CONNECTION_COUNT; index++) {
            if (pCtx->connection[index].revents != 0) DispatchConnection(pCtx, index);
        }
    }
}
