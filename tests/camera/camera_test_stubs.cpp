// camera_test_stubs.cpp -- a recording session that remembers the images it
// is given (and checks that they lie inside the receive buffer), and a
// Shutdown that throws.
#include "camera_test_stubs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "camera.h"
#include "recording.h"

CameraStubRecord gCameraStub;
unsigned char cameraErrorReportArmed = 1;

// The image is the receive buffer's frameSize bytes at parsePos.
int RecordFrame(RecorderContext *pCtx) {
    const FrameBufferPool &pool = pCtx->frameBuffer;
    if (pool.receiveIndex < 0 || pool.receiveIndex >= FRAME_BUFFER_COUNT) abort();
    const FrameRecord &frame = pool.frames[pool.receiveIndex];
    if (frame.data == nullptr || frame.frameSize < 0 || pool.parsePos < 0 ||
        static_cast<long long>(pool.parsePos) + frame.frameSize > pool.fillLevel ||
        pool.fillLevel > pool.bufferSize || frame.partStart > pool.parsePos) {
        abort();
    }
    gCameraStub.images.emplace_back(reinterpret_cast<const char *>(frame.data + pool.parsePos),
                                    static_cast<size_t>(frame.frameSize));
    pCtx->frameBuffer.lastFrameTime = pCtx->now;
    return 0;
}

int RecordingBlocked(RecorderContext *) {
    gCameraStub.recordingBlockedCalls++;
    return 0;
}

void Shutdown(RecorderContext *) { throw ShutdownCalled(); }

// No live video server here: no viewer to close when the boundary changes.
int CloseLvStreamingClients(RecorderContext *) { return 0; }

TestRecorder::TestRecorder(int bufferSize) {
    memset(&config, 0, sizeof(config));
    config.ipcam_type = CAMERA_TYPE_OTHER;
    snprintf(config.ipcam_address, sizeof(config.ipcam_address), "127.0.0.1");
    snprintf(config.ipcam_http_command, sizeof(config.ipcam_http_command),
             "GET /mjpg/video.mjpg HTTP/1.0");
    config.ipcam_video_width = 320;
    config.ipcam_video_height = 240;
    config.ipcam_fps = 10;
    config.nvr_max_read_size = 2048;
    memset(&ctx, 0, sizeof(ctx));
    ctx.pConfig = &config;
    ctx.pollTimeout = POLL_TIMEOUT_MS;
    for (struct pollfd &entry : ctx.connection) entry.fd = -1;
    ctx.cameraSchedule.enabled = 1;
    ctx.recordSchedule.enabled = 1;
    InitFrameBuffer(&ctx.frameBuffer, bufferSize);
    gCameraStub = CameraStubRecord();
    cameraErrorReportArmed = 1;
}

TestRecorder::~TestRecorder() {
    for (struct pollfd &entry : ctx.connection) {
        if (entry.fd != -1) close(entry.fd);
    }
    FreeFrameBuffer(&ctx.frameBuffer);
}
