// recording_session.cpp -- starting and finishing one recording file.
#include <signal.h>
#include <stdio.h>

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
        pCtx->changeFileTime = change;
        return 1;
    }
    if (changeLocal.tm_hour != startLocal.tm_hour) {
        change.tv_sec -= changeLocal.tm_min * 60 + changeLocal.tm_sec;
        change.tv_usec = 0;
    }
    pCtx->changeFileTime = change;
    return 0;
}

int StartAviRecording(RecorderContext *pCtx) {
    if (pCtx->avi != nullptr) StopAviRecording(pCtx);
    if (!pCtx->recordSchedule.enabled) return 1;
    const RecorderConfig *config = pCtx->pConfig;
    RequestStorageCheck(config, pCtx->diskManagerPid);
    if (recordingBlocked) return 1;

    if (GenerateStartAviFileName(pCtx->fileName, pCtx->now.tv_sec, config) != 0) {
        LogError("Fail to generate AVI file name");
        return 1;
    }
    pCtx->avi = AVI_create_output_file(pCtx->fileName);
    if (pCtx->avi == nullptr) {
        LogError("Fail to open avi file:%s", pCtx->fileName);
        return 1;
    }
    pCtx->fileSize = RECORDING_FILE_START_SIZE;
    LogInfo("Start to record AVI file: %s", pCtx->fileName);
    AVI_set_video_format(pCtx->avi, config->ipcam_video_width, config->ipcam_video_height,
                         static_cast<double>(config->ipcam_fps), "MJPG");
    // Index room for a whole file at the camera's rate, so that frames do not
    // grow it; a failure leaves the index to grow step by step instead.
    AVI_reserve_index(pCtx->avi, config->ipcam_fps * 60 * config->nvr_change_file_interval);
    if (AVI_rewrite_header(pCtx->avi) != 0) {
        LogError("Failed to update AVI header of %s", pCtx->fileName);
    }
    pCtx->sessionStart = pCtx->now;
    pCtx->frameSlots = 0;
    pCtx->framesWritten = 0;
    pCtx->frameWriteFailed = 0;
    if (SetChangeFileTime(pCtx) != 0) {
        LogError("Fail to get localtime in StartAviRecording()");
        return 1;
    }
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
    if (pCtx->avi == nullptr) return 0;
    struct tm end;
    bool timeKnown = localtime_r(&pCtx->now.tv_sec, &end) != nullptr;
    char finalName[FILE_NAME_SIZE];
    int nameResult =
        timeKnown ? BuildFinalAviFileName(finalName, sizeof(finalName), pCtx->fileName, &end) : 0;
    // The file is finished whatever its name, so that it keeps a valid index.
    if (AVI_close_file(pCtx->avi) != 0) {
        LogError("Fail to finish AVI file %s: %s", pCtx->fileName, AVI_error_text());
    }
    pCtx->avi = nullptr;
    if (nameResult != 0) {
        LogError("%s is already closed", pCtx->fileName);
        return 1;
    }
    if (!timeKnown) {
        LogError("Fail to get localtime in StopAviRecording()");
        return 1;
    }
    if (RenameRecording(pCtx->fileName, finalName) != 0) {
        LogError("Fail to rename %s to %s", pCtx->fileName, finalName);
        return 1;
    }
    long seconds = static_cast<long>(pCtx->now.tv_sec - pCtx->sessionStart.tv_sec);
    if (seconds == 0) seconds = 1;
    float rate = static_cast<float>(pCtx->framesWritten) / static_cast<float>(seconds);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Average frame rate is %0.1f/fps. Close and rename %s to %s.",
             rate, pCtx->fileName, finalName);
    snprintf(pCtx->fileName, sizeof(pCtx->fileName), "%s", finalName);
    return 0;
}
