// camera_reader.cpp -- serves the camera's poll entry: completes a pending
// connect, or makes one bounded read into the receive buffer and hands the
// bytes to the stream parser.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include "camera.h"
#include "logging.h"
#include "recording.h"

enum {
    // A read takes at most this many bytes beyond the end of the image being
    // received (and in the states before its size is known, at most this
    // many in all): the bytes after a frame are copied to the next buffer,
    // so this bounds that copy however large nvr_max_read_size is, and one
    // call handles at most this much data besides one image.
    READ_AHEAD_MAX = 2048,
};

// One read into the receive buffer. Returns 0 when bytes were added.
static int ReadCamera(RecorderContext *pCtx, int fd) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    if (GetCurrentReceiveFrameBuffer(pFB) == -1) {
        ReportNoReceiveBuffer();
        CloseCamera(pCtx);
        return 1;
    }
    if (pFB->fillLevel >= pFB->bufferSize) {
        // The response head must fit a buffer; only parts may be skipped.
        if (pCtx->camera.cameraState == IPCAM_STATE_CHECK_STATUS ||
            pCtx->camera.cameraState == IPCAM_STATE_CHECK_BOUNDARY) {
            UnknownProtocol(pCtx);
            return 1;
        }
        LogInfo("Buffer full -- skip this frame");
        pCtx->camera.cameraState = IPCAM_STATE_FIND_PART;
        pFB->fillLevel = 0;
        pFB->parsePos = 0;
        pFB->lineScanPos = 0;
    }
    size_t room = static_cast<size_t>(pFB->bufferSize - pFB->fillLevel);
    int32_t maxRead = pCtx->pConfig->nvr_max_read_size;
    if (maxRead >= 1 && room > static_cast<size_t>(maxRead)) room = static_cast<size_t>(maxRead);
    int64_t ahead = READ_AHEAD_MAX;
    if (pCtx->camera.cameraState == IPCAM_STATE_RECEIVE_FRAME) {
        int64_t missing =
            static_cast<int64_t>(pFB->parsePos) + ReceiveFrame(pCtx)->frameSize - pFB->fillLevel;
        if (missing > 0) ahead += missing;
    }
    if (static_cast<int64_t>(room) > ahead) room = static_cast<size_t>(ahead);
    ssize_t got = read(fd, ReceiveData(pCtx) + pFB->fillLevel, room);
    if (got == 0) {
        LogError("IP camera is disconnected");
        CloseCamera(pCtx);
        RecordingBlocked(pCtx);
        return 1;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            LogInfo("no data to read from IP camera now");
            return 1;
        }
        char text[64];
        snprintf(text, sizeof(text), "IP camera connection error (%d)", static_cast<int>(got));
        LogError("%s", text);
        NotifyManager(NOTIFY_CONNECTION_ERROR, text);
        CloseCamera(pCtx);
        RecordingBlocked(pCtx);
        return 1;
    }
    pFB->fillLevel += static_cast<int32_t>(got);
    return 0;
}

int HandleCameraEvent(RecorderContext *pCtx, int index) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in HandleCameraEvent()");
        return 0;
    }
    struct pollfd *entry = &pCtx->connection[index];
    short events = entry->revents;
    if (entry->fd == -1) return 0;
    if (events & (POLLERR | POLLHUP | POLLNVAL)) {
        LogInfo("IP camera connection report %s", (events & POLLERR)   ? "POLLERR"
                                                  : (events & POLLHUP) ? "POLLHUP"
                                                                       : "POLLNVAL");
        CloseCamera(pCtx);
        return 0;
    }
    if (pCtx->camera.cameraState == IPCAM_STATE_CONNECTING) {
        if (events & POLLOUT) CompleteIpcamConnect(pCtx, index);
        return 0;
    }
    if (!(events & POLLIN)) return 0;
    if (pCtx->camera.cameraState < IPCAM_STATE_CHECK_STATUS ||
        pCtx->camera.cameraState > IPCAM_STATE_RECEIVE_FRAME) {
        // No stream is expected in this state; a readable socket would
        // otherwise wake the loop forever.
        CloseCamera(pCtx);
        return 0;
    }
    if (ReadCamera(pCtx, entry->fd) != 0) return 0;
    ParseCameraStream(pCtx);
    return 0;
}
