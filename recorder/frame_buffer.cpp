// frame_buffer.cpp -- the frame buffer pool: receive-buffer choice, frame
// completion and the newest-frame choice for live clients.
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

// How far a frame's sequence lies from the newest one, as the absolute value
// of the signed 32-bit difference; a frame with sequence 0 is far away.
static int64_t SequenceDistance(uint32_t lastSequence, uint32_t sequence) {
    int64_t difference = static_cast<int32_t>(lastSequence - sequence);
    return difference < 0 ? -difference : difference;
}

// The oldest allocated frame that no client holds, other than `current`.
static int FindReusableFrame(const FrameBufferPool *pFB, int current, bool *currentAvailable) {
    int chosen = -1;
    int64_t chosenDistance = -1;
    for (int i = 0; i < FRAME_BUFFER_COUNT; i++) {
        const FrameRecord &frame = pFB->frames[i];
        if (frame.data == nullptr || frame.readers >= 1) continue;
        if (i == current) {
            *currentAvailable = true;
            continue;
        }
        int64_t distance = SequenceDistance(pFB->lastSequence, frame.sequence);
        if (distance > chosenDistance) {
            chosen = i;
            chosenDistance = distance;
        }
    }
    return chosen;
}

// Allocates the first unallocated frame. Returns its index; -1 when every
// frame is allocated; -2 when the allocation failed (error logged).
static int AllocateFrame(FrameBufferPool *pFB) {
    for (int i = 0; i < FRAME_BUFFER_COUNT; i++) {
        FrameRecord &frame = pFB->frames[i];
        if (frame.data != nullptr) continue;
        size_t size = static_cast<size_t>(pFB->bufferSize) + FRAME_BUFFER_CRLF_ROOM;
        frame.data = static_cast<unsigned char *>(malloc(size));
        if (frame.data == nullptr) {
            LogError("Fail to allocate memory for frame buffer in GetNextReceiveFrameBuffer()");
            return -2;
        }
        LogInfo("Allocate memory for frame buffer successfully");
        return i;
    }
    return -1;
}

// Moves the bytes that followed the image of `current` to the start of the
// chosen buffer and returns their count. The first of them may have been
// covered by the frame's CRLF; they are put back from coveredBytes.
static int32_t CarryOverSurplus(FrameBufferPool *pFB, int current, int chosen) {
    if (current < 0) return 0;
    const FrameRecord &old = pFB->frames[current];
    int64_t start = static_cast<int64_t>(pFB->parsePos) + old.frameSize;
    int64_t end = pFB->fillLevel < pFB->bufferSize ? pFB->fillLevel : pFB->bufferSize;
    if (old.data == nullptr || old.frameSize < 0 || pFB->parsePos < 0 || start >= end) return 0;
    int32_t count = static_cast<int32_t>(end - start);
    unsigned char *target = pFB->frames[chosen].data;
    memmove(target, old.data + start, static_cast<size_t>(count));
    int32_t covered = pFB->coveredCount < count ? pFB->coveredCount : count;
    if (covered > 0) memcpy(target, pFB->coveredBytes, static_cast<size_t>(covered));
    return count;
}

int GetNextReceiveFrameBuffer(FrameBufferPool *pFB, int current) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in GetNextReceiveFrameBuffer()");
        return -1;
    }
    if (current < -1 || current >= FRAME_BUFFER_COUNT) {
        LogError("Index overflow in GetNextReceiveFrameBuffer()");
        return -1;
    }
    bool currentAvailable = false;
    int chosen = FindReusableFrame(pFB, current, &currentAvailable);
    if (chosen == -1) {
        chosen = AllocateFrame(pFB);
        if (chosen == -2) return -1;
    }
    if (chosen == -1 && currentAvailable) chosen = current;
    if (chosen == -1) {
        LogError("Frame buffer is full");
        return -1;
    }

    pFB->fillLevel = CarryOverSurplus(pFB, current, chosen);
    pFB->coveredCount = 0;
    FrameRecord &frame = pFB->frames[chosen];
    frame.frameSize = 0;
    frame.partStart = 0;
    frame.partLength = 0;
    frame.sequence = 0;
    frame.readers = 0;
    pFB->receiveIndex = chosen;
    pFB->parsePos = 0;
    pFB->lineScanPos = 0;
    return chosen;
}

int GetCurrentReceiveFrameBuffer(FrameBufferPool *pFB) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in GetCurrentReceiveFrameBuffer()");
        return -1;
    }
    return pFB->receiveIndex;
}

int FinishReceivingFrame(FrameBufferPool *pFB) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in FinishReceivingFrame()");
        return -1;
    }
    int index = pFB->receiveIndex;
    if (index < 0 || index >= FRAME_BUFFER_COUNT || pFB->frames[index].data == nullptr) return -1;
    FrameRecord &frame = pFB->frames[index];
    int64_t end = static_cast<int64_t>(pFB->parsePos) + frame.frameSize;
    if (frame.frameSize < 0 || pFB->parsePos < 0 || end > pFB->bufferSize || frame.partStart < 0 ||
        frame.partStart > pFB->parsePos) {
        LogError("Frame lies outside its buffer in FinishReceivingFrame()");
        return -1;
    }
    // The CRLF goes into the spare bytes when the image ends the buffer, and
    // otherwise over the first camera bytes after the image: keep those.
    int64_t after = pFB->fillLevel - end;
    pFB->coveredCount = static_cast<int32_t>(after < 0 ? 0 : after > 2 ? 2 : after);
    memcpy(pFB->coveredBytes, frame.data + end, static_cast<size_t>(pFB->coveredCount));
    frame.data[end] = '\r';
    frame.data[end + 1] = '\n';
    frame.partLength = static_cast<int32_t>(end - frame.partStart + 2);
    pFB->lastSequence++;
    if (pFB->lastSequence == 0) pFB->lastSequence = 1;
    frame.sequence = pFB->lastSequence;
    return 0;
}

// Whether sequence a comes after b, allowing for the numbers' wrap: a is
// newer unless it lies at most the wrap window behind b. A frame from just
// before the wrap (2^32 - 2) is therefore older than one just after it (3),
// so a client never goes back to it.
static bool IsNewer(uint32_t a, uint32_t b) {
    uint32_t ahead = a - b;
    return ahead != 0 && ahead <= UINT32_MAX - FRAME_SEQUENCE_WRAP_WINDOW;
}

int GetNextSendFrameBuffer(FrameBufferPool *pFB, uint32_t lastSent) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in GetNextSendFrameBuffer()");
        return -1;
    }
    int kept = -1;
    for (int i = 0; i < FRAME_BUFFER_COUNT; i++) {
        const FrameRecord &frame = pFB->frames[i];
        if (frame.data == nullptr || frame.sequence == 0 || frame.sequence == lastSent) continue;
        if (!IsNewer(frame.sequence, lastSent)) continue;
        if (kept == -1 || IsNewer(frame.sequence, pFB->frames[kept].sequence)) kept = i;
    }
    if (kept != -1) pFB->frames[kept].readers++;
    return kept;
}

int FinishSendingFrame(FrameBufferPool *pFB, int index) {
    if (pFB == nullptr) {
        LogError("null pointer pFB in FinishSendingFrame()");
        return -1;
    }
    if (index < 0 || index >= FRAME_BUFFER_COUNT) {
        LogError("Index overflow in FinishSendingFrame()");
        return -1;
    }
    if (pFB->frames[index].readers > 0) pFB->frames[index].readers--;
    return 0;
}
