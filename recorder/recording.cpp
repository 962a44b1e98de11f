// recording.cpp -- recording sessions. (Arrive with the recording issue.)
#include "recording.h"

int RecordFrame(RecorderContext *pCtx) {
    pCtx->frameBuffer.lastFrameTime = pCtx->now;
    return 0;
}
int RecordingBlocked(RecorderContext *pCtx) { return 0; }
int ChangeRecordingFile(RecorderContext *pCtx) { return 0; }
int HandleIdleTimeout(RecorderContext *pCtx) { return 0; }
