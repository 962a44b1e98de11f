// recording_session.cpp -- starting and finishing one recording file.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "avi_writer.h"
#include "logging.h"
#include "recording.h"
#include "shell_command.h"

int RequestStorageCheck(const RecorderConfig *config, pid_t diskManagerPid) {
    // kill() with a pid of -1 or 0 would reach every process or the group.
    if (diskManagerPid <= 0) return 1;
    LogInfo("Send signal %d to pid %d", SIGUSR1, static_cast<int>(diskManagerPid));
    return kill(diskManagerPid, SIGUSR1) == 0 ? 0 : 1;
}

// The change time of a file started at now: interval minutes later, moved
// back to the top of its hour when the hour changes on the way.
static int SetChangeFileTime(RecorderContext *pCtx) {
    const struct timeval &now = pCtx->now;
    struct timeval change = now;
    change.tv_sec += static_cast<time_t>(pCtx->pConfig->nvr_change_file_interval) * 60;
    struct tm startLocal, changeLocal;
    if (localtime_r(&now.tv_sec, &startLocal) == nullptr ||
        localtime_r(&change.tv_sec, &changeLocal) == nullptr) {
        pCtx->session.changeFileTime = change;
        return 1;
    }
    if (changeLocal.tm_hour != startLocal.tm_hour) {
        change.tv_sec -= changeLocal.tm_min * 60 + changeLocal.tm_sec;
        change.tv_usec = 0;
    }
    pCtx->session.changeFileTime = change;
    return 0;
}

// A start failed: the next one is tried RECORDING_RETRY_SECONDS later (at
// once when tarsel says that recording may go on, for a start that was
// blocked), so that a lasting cause does not cost a storage check and a
// folder lookup at every frame. Returns 1.
static int StartFailed(RecorderContext *pCtx, bool blocked) {
    pCtx->session.nextStartTry = pCtx->now.tv_sec + RECORDING_RETRY_SECONDS;
    pCtx->session.startWaitsForSpace = blocked ? 1 : 0;
    return 1;
}

// Logs a failed start once until a file is started again.
static void ReportStartError(RecorderContext *pCtx, const char *format, const char *name) {
    if (pCtx->session.startErrorReported) return;
    pCtx->session.startErrorReported = 1;
    LogError(format, name);
}

int StartAviRecording(RecorderContext *pCtx) {
    if (pCtx->session.avi != nullptr) StopAviRecording(pCtx);
    if (!pCtx->recordSchedule.enabled) return 1;
    // The name of this second is taken by a file of a predecessor: wait for
    // the next second rather than write into it.
    if (pCtx->session.nameTakenSecond == pCtx->now.tv_sec) return 1;
    if (pCtx->now.tv_sec < pCtx->session.nextStartTry &&
        !(pCtx->session.startWaitsForSpace && !recordingBlocked)) {
        return 1;
    }
    const RecorderConfig *config = pCtx->pConfig;
    RequestStorageCheck(config, pCtx->diskManagerPid);
    if (recordingBlocked) return StartFailed(pCtx, true);

    if (GenerateStartAviFileName(pCtx->session.fileName, pCtx->now.tv_sec, config) != 0) {
        ReportStartError(pCtx, "Fail to generate AVI file name%s", "");
        return StartFailed(pCtx, false);
    }
    int claim = ClaimRecordingFile(pCtx->session.fileName);
    if (claim == 1) {
        LogWarning("Recording file %s exists already; the next file starts with the next second",
                   pCtx->session.fileName);
        pCtx->session.nameTakenSecond = pCtx->now.tv_sec;
        return 1;
    }
    if (claim != 0) {
        ReportStartError(pCtx, "Fail to open avi file:%s", pCtx->session.fileName);
        return StartFailed(pCtx, false);
    }
    pCtx->session.avi = AVI_create_output_file(pCtx->session.fileName);
    if (pCtx->session.avi == nullptr) {
        ReportStartError(pCtx, "Fail to open avi file:%s", pCtx->session.fileName);
        unlink(pCtx->session.fileName);
        return StartFailed(pCtx, false);
    }
    pCtx->session.startErrorReported = 0;
    pCtx->session.nextStartTry = 0;
    pCtx->session.fileSize = RECORDING_FILE_START_SIZE;
    LogInfo("Start to record AVI file: %s", pCtx->session.fileName);
    AVI_set_video_format(pCtx->session.avi, config->ipcam_video_width, config->ipcam_video_height,
                         static_cast<double>(config->ipcam_fps), "MJPG");
    // Index room for a whole file at the camera's rate, so that frames do not
    // grow it; a failure leaves the index to grow step by step instead.
    AVI_reserve_index(pCtx->session.avi, config->ipcam_fps * 60 * config->nvr_change_file_interval);
    if (AVI_rewrite_header(pCtx->session.avi) != 0) {
        LogError("Failed to update AVI header of %s", pCtx->session.fileName);
    }
    pCtx->session.sessionStart = pCtx->now;
    pCtx->session.frameSlots = 0;
    pCtx->session.framesWritten = 0;
    pCtx->session.frameWriteFailed = 0;
    pCtx->session.framesDropped = 0;
    if (SetChangeFileTime(pCtx) != 0) {
        LogError("Fail to get localtime in StartAviRecording()");
        return 1;
    }
    // A fixed reminder line of the log (with -v), kept as the system writes it.
    LogRemind("StartAviRecording() is not yet finished");
    return 0;
}

// Renames with the shell's mv. Returns 0 when mv ran and succeeded.
static int RenameRecording(const char *from, const char *to) {
    ShellCommand command;
    BuildShellCommand(&command, "mv", {from, to});
    return ShellCommandRun(&command) == 0 ? 0 : 1;
}

int StopAviRecording(RecorderContext *pCtx) {
    if (pCtx->session.avi == nullptr) return 0;
    struct tm end;
    bool timeKnown = localtime_r(&pCtx->now.tv_sec, &end) != nullptr;
    char finalName[FILE_NAME_SIZE];
    int nameResult = timeKnown ? BuildFreeFinalAviFileName(finalName, sizeof(finalName),
                                                           pCtx->session.fileName, pCtx->now.tv_sec)
                               : 0;
    // The file is finished whatever its name, so that it keeps a valid index.
    if (AVI_close_file(pCtx->session.avi) != 0) {
        LogError("Fail to finish AVI file %s: %s", pCtx->session.fileName, AVI_error_text());
    }
    pCtx->session.avi = nullptr;
    if (pCtx->session.framesDropped > 0) {
        LogWarning("%d frames could not be written to %s",
                   static_cast<int>(pCtx->session.framesDropped), pCtx->session.fileName);
    }
    // A file without a single camera frame is no recording: it would only
    // show as an empty video in the list.
    if (pCtx->session.framesWritten == 0 && unlink(pCtx->session.fileName) == 0) {
        LogWarning("%s holds no frame; removed", pCtx->session.fileName);
        return 0;
    }
    if (nameResult != 0) {
        LogError("%s is already closed", pCtx->session.fileName);
        return 1;
    }
    if (!timeKnown) {
        LogError("Fail to get localtime in StopAviRecording()");
        return 1;
    }
    if (RenameRecording(pCtx->session.fileName, finalName) != 0) {
        LogError("Fail to rename %s to %s", pCtx->session.fileName, finalName);
        return 1;
    }
    long seconds = static_cast<long>(pCtx->now.tv_sec - pCtx->session.sessionStart.tv_sec);
    if (seconds == 0) seconds = 1;
    float rate = static_cast<float>(pCtx->session.framesWritten) / static_cast<float>(seconds);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Average frame rate is %0.1f/fps. Close and rename %s to %s.",
             rate, pCtx->session.fileName, finalName);
    snprintf(pCtx->session.fileName, sizeof(pCtx->session.fileName), "%s", finalName);
    return 0;
}
