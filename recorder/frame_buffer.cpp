// frame_buffer.cpp -- the frame buffer pool. (Receive and send selection
// arrive with the camera client.)
#include "frame_buffer.h"

#include <stdlib.h>
#include <string.h>

#include "logging.h"

int InitFrameBuffer(FrameBufferPool *pFB, int32_t bufferSize) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in InitFrameBuffer()");
        return 1;
    }
    if (bufferSize <= 0) {
        LogError("Assigned buffer size <=0 in InitFrameBuffer()");
        return 1;
    }
    memset(pFB, 0, sizeof(*pFB));
    pFB->bufferSize = bufferSize;
    pFB->receiveIndex = -1;
    return 0;
}

int FreeFrameBuffer(FrameBufferPool *pFB) {
    if (pFB == nullptr) return 0;
    for (FrameRecord &frame : pFB->frames) {
        free(frame.data);
        frame.data = nullptr;
    }
    return 0;
}

int ResetFrameBuffer(FrameBufferPool *pFB) {
    if (pFB == nullptr) return 0;
    LogInfo("ResetFrameBuffer()");
    for (FrameRecord &frame : pFB->frames) frame.sequence = 0;
    return 0;
}

int GetNextReceiveFrameBuffer(FrameBufferPool *pFB, int current) { return -1; }
int GetCurrentReceiveFrameBuffer(FrameBufferPool *pFB) { return pFB ? pFB->receiveIndex : -1; }
int FinishReceivingFrame(FrameBufferPool *pFB) { return -1; }
int GetNextSendFrameBuffer(FrameBufferPool *pFB, uint32_t lastSent) { return -1; }
int FinishSendingFrame(FrameBufferPool *pFB, int index) { return -1; }
