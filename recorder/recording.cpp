// recording.cpp -- recording sessions: every camera frame into the open AVI
// file, the file changes by time and size, the idle time-out and the stop.
#include "recording.h"

#include <stdint.h>

#include "avi_writer.h"
#include "logging.h"

int32_t CountMissingFrames(int32_t frameSlots, struct timeval start, struct timeval now,
                           int32_t fps) {
    // 64-bit: a clock that jumped far must not overflow the product.
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - start.tv_sec;
    int64_t micro = static_cast<int64_t>(now.tv_usec) - start.tv_usec;
    if (micro < 0) {
        seconds -= 1;
        micro += 1000000;
    }
    int64_t due = int64_t{fps} * seconds + (int64_t{fps} * micro) / 1000000 - frameSlots;
    if (due < 2) return 0;
    return due - 1 > INT32_MAX ? INT32_MAX : static_cast<int32_t>(due - 1);
}

// The JPEG of the receive buffer; 1 when there is no complete one.
static int ReceivedFrame(const FrameBufferPool *pFB, const unsigned char **data, int32_t *length) {
    int index = pFB->receiveIndex;
    if (index < 0 || index >= FRAME_BUFFER_COUNT) return 1;
    const FrameRecord &frame = pFB->frames[index];
    if (frame.data == nullptr || frame.frameSize < 0 || pFB->parsePos < 0 ||
        int64_t{pFB->parsePos} + frame.frameSize > pFB->fillLevel) {
        return 1;
    }
    *data = frame.data + pFB->parsePos;
    *length = frame.frameSize;
    return 0;
}

// Writes one frame slot (an empty frame when length is 0) as a key frame and
// counts it. A failed write is counted nowhere, so the next frame's empty
// frames fill its slot, and is reported once until a write succeeds again.
static int WriteFrameSlot(RecorderContext *pCtx, const unsigned char *data, int32_t length) {
    if (AVI_write_video_frame(pCtx->session.avi, data, length, 1) != 0) {
        if (!pCtx->session.frameWriteFailed) {
            LogError("Fail to write frame to %s: %s", pCtx->session.fileName, AVI_error_text());
        }
        pCtx->session.frameWriteFailed = 1;
        if (length > 0) pCtx->session.framesDropped++;
        return 1;
    }
    // Only a camera frame ends the episode: the small empty frames may still
    // fit on a volume that takes no more pictures.
    if (length > 0) pCtx->session.frameWriteFailed = 0;
    pCtx->session.frameSlots++;
    pCtx->session.fileSize += RECORDING_FRAME_OVERHEAD + length;
    return 0;
}

// The size rule: the empty frames and the frame would take the open file
// past nvr_max_file_size. A file started in the current second is not cut:
// its successor would start in the same second too, and two files that start
// and end in the same second would get the same final name.
static bool FileWouldGrowTooLarge(const RecorderContext *pCtx, int32_t zeros, int32_t length) {
    int64_t after = pCtx->session.fileSize + int64_t{RECORDING_FRAME_OVERHEAD} * zeros + length +
                    RECORDING_FRAME_OVERHEAD;
    return after > pCtx->pConfig->nvr_max_file_size &&
           pCtx->session.sessionStart.tv_sec != pCtx->now.tv_sec;
}

int RecordFrame(RecorderContext *pCtx) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in RecordFrame()");
        return 1;
    }
    const unsigned char *data = nullptr;
    int32_t length = 0;
    if (ReceivedFrame(&pCtx->frameBuffer, &data, &length) != 0) return 1;
    // The camera is alive whether or not the frame can be recorded.
    pCtx->frameBuffer.lastFrameTime = pCtx->now;
    if (!pCtx->recordSchedule.enabled) return 0;

    int32_t zeros = 0;
    if (pCtx->session.avi != nullptr) {
        zeros = CountMissingFrames(pCtx->session.frameSlots, pCtx->session.sessionStart, pCtx->now,
                                   pCtx->pConfig->ipcam_fps);
        if (FileWouldGrowTooLarge(pCtx, zeros, length)) {
            LogWarning("File size (%lld) reaches limit",
                       static_cast<long long>(pCtx->session.fileSize));
            if (StartAviRecording(pCtx) != 0) return 1;
            zeros = 0;
        }
    }
    if (pCtx->session.avi == nullptr) {
        if (StartAviRecording(pCtx) != 0) return 1;
        zeros = 0;
        NotifyManager(NOTIFY_SESSION_START, "Start a new recording session");
    }
    if (zeros > 0) LogInfo("Insert %d zero frame", zeros);
    for (int32_t i = 0; i < zeros; i++) {
        if (WriteFrameSlot(pCtx, nullptr, 0) != 0) break;
    }
    if (WriteFrameSlot(pCtx, data, length) != 0) return 1;
    pCtx->session.framesWritten++;
    return 0;
}

int ChangeRecordingFile(RecorderContext *pCtx) {
    StopAviRecording(pCtx);
    if (pCtx->now.tv_sec - pCtx->frameBuffer.lastFrameTime.tv_sec >= RECORDING_ACTIVE_SECONDS) {
        LogWarning("IP camera is not active for more than 2 seconds now");
        return 0;
    }
    if (StartAviRecording(pCtx) != 0) {
        LogError("Fail to start AVI recording");
        return 1;
    }
    return 0;
}

int HandleClockStep(RecorderContext *pCtx, time_t step) {
    LogWarning("System time changed by %lld seconds", static_cast<long long>(step));
    pCtx->frameBuffer.lastFrameTime.tv_sec += step;
    if (pCtx->session.nameTakenSecond != 0) pCtx->session.nameTakenSecond += step;
    if (pCtx->session.nextStartTry != 0) pCtx->session.nextStartTry += step;
    if (pCtx->session.avi == nullptr) return 0;
    struct timeval now = pCtx->now;
    pCtx->now.tv_sec -= step;
    StopAviRecording(pCtx);
    pCtx->now = now;
    if (pCtx->now.tv_sec - pCtx->frameBuffer.lastFrameTime.tv_sec < RECORDING_ACTIVE_SECONDS &&
        StartAviRecording(pCtx) != 0) {
        LogError("Fail to start AVI recording");
    }
    return 0;
}

int RecordingBlocked(RecorderContext *pCtx) {
    if (!pCtx->recordSchedule.enabled) return 0;
    LogInfo("RecordingBlocked()");
    if (pCtx->session.avi == nullptr) return 0;
    StopAviRecording(pCtx);
    NotifyManager(NOTIFY_SESSION_STOP, "Stop recording");
    return 0;
}
