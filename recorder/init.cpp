// init.cpp -- vidula's start-up, configuration reload and orderly stop.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "camera.h"
#include "logging.h"
#include "lv_server.h"
#include "program_options.h"
#include "recorder.h"
#include "recording.h"

unsigned char cameraErrorReportArmed = 0;

static void OpenQueuesFromConfig(const RecorderConfig *config) {
    OpenMessageQueues(config->nvr_log_mq, config->nvr_manager_mq, config->nvr_log_console);
}

static int FrameBufferSizeOf(const RecorderConfig *config) {
    long long size = 3LL * config->ipcam_video_width * config->ipcam_video_height;
    return size > 0x7fffffffLL ? -1 : static_cast<int>(size);
}

// Every recording path is the folder, "YYYY/MM/DD/", the name prefix and
// "YYYY-MM-DD#hh-mm-ss_YYYY-MM-DD#hh-mm-ss.avi"; a folder and prefix that
// leave no room for it could never start a file, so they are refused at
// load. Returns 1 (error logged) when they do not fit.
static int CheckRecordingNameRoom(const RecorderConfig *config) {
    const size_t kDatedPart = sizeof("2026/12/06/2026-12-06#14-05-00_2026-12-06#14-10-00.avi") - 1;
    if (strlen(config->recordFolderPrefix) + strlen(config->nvr_video_name_prefix) + kDatedPart <
        FILE_NAME_SIZE) {
        return 0;
    }
    LogError("Recording file name is too long for folder %s and prefix %s",
             config->nvr_record_folder, config->nvr_video_name_prefix);
    return 1;
}

int Init(RecorderContext *pCtx, const char *configPath) {
    gLogging.parentPid = getppid();
    umask(0);
    if (pCtx == nullptr) {
        PrintConsole("(%s) Error: null pointer pCtx in Init()\n", gLogging.programName);
        exit(1);
    }
    InstallSignalHandlers();

    memset(pCtx, 0, sizeof(*pCtx));
    if (gettimeofday(&pCtx->startTime, nullptr) != 0) {
        PrintConsole("(%s) Error: Fail to get system time in Init()\n", gLogging.programName);
        exit(1);
    }
    pCtx->pConfig = new (std::nothrow) RecorderConfig;
    if (pCtx->pConfig == nullptr) {
        PrintConsole("(%s) Error: fail to allocate memory for config\n", gLogging.programName);
        exit(1);
    }
    if (LoadConfig(pCtx->pConfig, configPath) != 0) exit(1);
    if (CheckRecordingNameRoom(pCtx->pConfig) != 0) exit(1);

    cameraErrorReportArmed = 1;
    OpenQueuesFromConfig(pCtx->pConfig);

    pCtx->cameraIndex = 0;
    pCtx->lvServerIndex = 1;
    pCtx->pollTimeout = POLL_TIMEOUT_MS;
    if (InitFrameBuffer(&pCtx->frameBuffer, FrameBufferSizeOf(pCtx->pConfig)) != 0) {
        LogError("Fail to initialize frame buffer");
        exit(1);
    }
    for (struct pollfd &entry : pCtx->connection) entry.fd = -1;
    for (LvClient &client : pCtx->lvServer.lvClient) client.frameIndex = -1;
    LvServerTimingFromEnvironment(&pCtx->lvServer);
    pCtx->diskManagerRetrySeconds =
        SecondsFromEnvironment("VIDULA_TARSEL_RETRY_SECONDS", DISK_MANAGER_RETRY_SECONDS);
    pCtx->session.avi = nullptr;
    pCtx->cameraSchedule.enabled = 1;
    pCtx->recordSchedule.enabled = 1;
    pCtx->diskManagerPid = -1;
    return 0;
}

// The context a reload works on, for the fatal-value handler below.
int ReloadConfig(RecorderContext *pCtx, const char *configPath) {
    PrintConsole("(%s) Reload config file %s\n", gLogging.programName, configPath);
    if (pCtx == nullptr) {
        LogError("null pointer pCtx when reloading config file");
        return 1;
    }
    if (pCtx->pConfig == nullptr) {
        LogError("null pointer pConfig when reloading config file");
        return 1;
    }
    // A fixed reminder line of the log (with -v), kept as the system writes it.
    LogRemind("ReloadConfig() is not finished");
    StopLvServer(pCtx);
    DisconnectIPcam(pCtx);
    LogInfo("Stop system ok");

    // LoadConfig clears the record first, so the path must not live in it.
    char path[CONFIG_PATH_SIZE];
    snprintf(path, sizeof(path), "%s", configPath);
    // A fatal value ends vidula through Shutdown, so that tarsel is stopped too.
    int loaded = LoadConfig(pCtx->pConfig, path);
    if (loaded != 0 || CheckRecordingNameRoom(pCtx->pConfig) != 0) Shutdown(pCtx);
    OpenQueuesFromConfig(pCtx->pConfig);

    FreeFrameBuffer(&pCtx->frameBuffer);
    if (InitFrameBuffer(&pCtx->frameBuffer, FrameBufferSizeOf(pCtx->pConfig)) != 0) {
        LogError("Fail to initialize frame buffer");
        return 1;
    }
    pCtx->cameraSchedule.enabled = 1;
    pCtx->recordSchedule.enabled = 1;
    if (pCtx->diskManagerPid != -1) kill(pCtx->diskManagerPid, SIGHUP);
    return 0;
}
