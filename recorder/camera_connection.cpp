// camera_connection.cpp -- connecting to the camera and sending its request.
// (The connection itself arrives with the camera client.)
#include <unistd.h>

#include "camera.h"
#include "logging.h"
#include "recording.h"

int DoConnectIPcam(RecorderContext *pCtx) { return 0; }

int SendIpcamRequest(RecorderContext *pCtx, int index) { return 0; }

int DoDisconnectIPcam(RecorderContext *pCtx) {
    LogInfo("DoDisconnectIPcam()");
    struct pollfd &entry = pCtx->connection[pCtx->cameraIndex];
    if (entry.fd != -1) {
        close(entry.fd);
        entry.fd = -1;
    }
    pCtx->cameraState = 0;
    timerclear(&pCtx->frameBuffer.lastFrameTime);
    return 0;
}

int DisconnectIPcam(RecorderContext *pCtx) {
    DoDisconnectIPcam(pCtx);
    ResetFrameBuffer(&pCtx->frameBuffer);
    pCtx->cameraSchedule.enabled = 0;
    RecordingBlocked(pCtx);
    LogInfo("DisconnectIPcam() ok");
    return 0;
}
