// camera_parser.cpp -- the camera stream parser: turns the bytes of the
// camera's multipart motion-JPEG answer in the receive buffer into complete
// frames, taking every frame the last read completed.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "bytes.h"
#include "camera.h"
#include "logging.h"
#include "lv_server.h"
#include "recording.h"

enum {
    STATUS_LINE_WAIT = 17,     // bytes needed before the status line is examined
    RESPONSE_HEAD_WAIT = 22,   // bytes needed before the response headers are examined
    PART_LINE_SKIP = 3,        // lines this short never start a part
    LENGTH_LINE_SKIP = 16,     // lines this short never carry the image size
    LENGTH_VALUE_OFFSET = 16,  // the size follows "Content-Length:" and one character
};

BlockResult UnknownProtocol(RecorderContext *pCtx) {
    LogError("Unknown protocol");
    NotifyManager(NOTIFY_HTTP_ERROR, "Unknown protocol");
    CloseCamera(pCtx);
    return BLOCK_END;
}

// Offset of the CR of the first CRLF at or after `from` whose LF lies below
// `end`; -1 when there is none yet.
static int32_t FindLineEnd(const unsigned char *data, int32_t from, int32_t end) {
    while (from + 1 < end) {
        const void *cr = memchr(data + from, '\r', static_cast<size_t>(end - 1 - from));
        if (cr == nullptr) return -1;
        int32_t at = static_cast<int32_t>(static_cast<const unsigned char *>(cr) - data);
        if (data[at + 1] == '\n') return at;
        from = at + 1;
    }
    return -1;
}

// The end of the line that starts at parsePos, as FindLineEnd. The search
// resumes where the previous call gave up, so a long unfinished line costs
// no more than one scan however many reads it takes.
static int32_t FindParseLineEnd(FrameBufferPool *pFB, const unsigned char *data, int32_t end) {
    int32_t from = pFB->parsePos;
    if (pFB->lineScanPos > from && pFB->lineScanPos < end) from = pFB->lineScanPos;
    int32_t cr = FindLineEnd(data, from, end);
    pFB->lineScanPos = cr == -1 && end > 0 ? end - 1 : 0;  // a CR may end the bytes held
    return cr;
}

// State 2: "HTTP/x.y CODE REASON".
static BlockResult CheckStatusLine(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    const unsigned char *data = ReceiveData(pCtx);
    int32_t start = pFB->parsePos;
    if (pFB->fillLevel - start < STATUS_LINE_WAIT) return BLOCK_END;
    int32_t limit = start + CAMERA_STATUS_LINE_MAX + 2;
    int32_t cr = FindParseLineEnd(pFB, data, pFB->fillLevel < limit ? pFB->fillLevel : limit);
    if (cr == -1) return pFB->fillLevel >= limit ? UnknownProtocol(pCtx) : BLOCK_END;

    const char *line = reinterpret_cast<const char *>(data + start);
    size_t length = static_cast<size_t>(cr - start);
    if (length < 5 || memcmp(line, "HTTP/", 5) != 0) return UnknownProtocol(pCtx);
    const char *space = static_cast<const char *>(memchr(line + 5, ' ', length - 5));
    if (space == nullptr) return UnknownProtocol(pCtx);
    const char *codeStart = space + 1;
    const char *codeEnd = static_cast<const char *>(
        memchr(codeStart, ' ', static_cast<size_t>(line + length - codeStart)));
    if (codeEnd == nullptr) return UnknownProtocol(pCtx);
    char code[CAMERA_STATUS_LINE_MAX + 1];
    snprintf(code, sizeof(code), "%.*s", static_cast<int>(codeEnd - codeStart), codeStart);

    if (strcmp(code, "200") != 0) {
        if (cameraErrorReportArmed == 1) {
            cameraErrorReportArmed = 0;
            LogError("HTTP return error code (%s)", code);
        }
        CloseCamera(pCtx);
        if (strcmp(code, "401") == 0) {
            NotifyManager(NOTIFY_AUTH_MISMATCH, "username/password mismatch");
        } else {
            char text[128];
            snprintf(text, sizeof(text), "HTTP return error code (%s)", code);
            NotifyManager(NOTIFY_HTTP_ERROR, text);
        }
        return BLOCK_END;
    }
    cameraErrorReportArmed = 1;
    LogInfo("HTTP return code (200)");
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "IP camera is connected");
    pCtx->camera.reconnectCount = 0;
    pFB->parsePos = cr + 2;
    pCtx->camera.cameraState = IPCAM_STATE_CHECK_BOUNDARY;
    return BLOCK_NEXT;
}

// The boundary parameter of a Content-Type line without its quotes and
// leading hyphens; -1 when the line carries none.
static int FindBoundaryValue(const char *line, size_t length, const char **value) {
    const size_t searchFrom = 13;  // "Content-Type" and its colon
    if (length < 12 || memcmp(line, "Content-Type", 12) != 0 || length <= searchFrom) return -1;
    const char *found =
        static_cast<const char *>(memmem(line + searchFrom, length - searchFrom, "boundary=", 9));
    if (found == nullptr) return -1;
    const char *begin = found + 9;
    const char *end = line + length;
    while (begin < end && (*begin == '"' || *begin == '-')) begin++;
    while (end > begin && end[-1] == '"') end--;
    *value = begin;
    return static_cast<int>(end - begin);
}

// A boundary is echoed in the live video server's header: it must fit and be
// plain text.
static bool IsUsableBoundary(const char *value, int length) {
    if (length >= BOUNDARY_SIZE) return false;
    for (int i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// State 3: response header lines up to the one that names the boundary.
static BlockResult CheckBoundary(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    const unsigned char *data = ReceiveData(pCtx);
    if (pFB->fillLevel - pFB->parsePos < RESPONSE_HEAD_WAIT) return BLOCK_END;
    for (;;) {
        int32_t start = pFB->parsePos;
        int32_t cr = FindParseLineEnd(pFB, data, pFB->fillLevel);
        if (cr == -1) {
            return pFB->fillLevel >= CAMERA_RESPONSE_HEAD_MAX ? UnknownProtocol(pCtx) : BLOCK_END;
        }
        if (cr + 2 > CAMERA_RESPONSE_HEAD_MAX) return UnknownProtocol(pCtx);
        pFB->parsePos = cr + 2;
        const char *value = nullptr;
        int length = FindBoundaryValue(reinterpret_cast<const char *>(data + start),
                                       static_cast<size_t>(cr - start), &value);
        if (length < 0) continue;
        if (length == 0) {
            LogInfo("Error: Empty boundary string");
            continue;
        }
        if (!IsUsableBoundary(value, length)) return UnknownProtocol(pCtx);
        bool changed = pCtx->camera.boundary[0] != '\0' &&
                       (strlen(pCtx->camera.boundary) != static_cast<size_t>(length) ||
                        memcmp(pCtx->camera.boundary, value, static_cast<size_t>(length)) != 0);
        memcpy(pCtx->camera.boundary, value, static_cast<size_t>(length));
        pCtx->camera.boundary[length] = '\0';
        // The old stream's frames still in the pool no longer match the
        // boundary a new viewer is told: none of them is offered again.
        if (changed) {
            CloseLvStreamingClients(pCtx);
            ResetFrameBuffer(&pCtx->frameBuffer);
        }
        LogInfo("multipart boundary=\"%s\"", pCtx->camera.boundary);
        pCtx->camera.cameraState = IPCAM_STATE_FIND_PART;
        return BLOCK_NEXT;
    }
}

// Takes the next whole line at parsePos: moves parsePos past its CR LF and
// returns the offset of its CR, or -1 (parsePos unchanged) when the line has
// not fully arrived.
static int32_t TakeParseLine(FrameBufferPool *pFB, const unsigned char *data) {
    int32_t cr = FindParseLineEnd(pFB, data, pFB->fillLevel);
    if (cr != -1) pFB->parsePos = cr + 2;
    return cr;
}

// State 4: a line "--BOUNDARY" starts a part; every other line is passed over.
static BlockResult FindPart(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    const unsigned char *data = ReceiveData(pCtx);
    size_t boundaryLength = strlen(pCtx->camera.boundary);
    for (;;) {
        int32_t start = pFB->parsePos;
        int32_t cr = TakeParseLine(pFB, data);
        if (cr == -1) return BLOCK_END;
        size_t length = static_cast<size_t>(cr - start);
        if (length <= PART_LINE_SKIP || length - 2 != boundaryLength) continue;
        if (memcmp(data + start + 2, pCtx->camera.boundary, boundaryLength) != 0) continue;
        ReceiveFrame(pCtx)->partStart = start;
        pCtx->camera.cameraState = IPCAM_STATE_CHECK_CONTENT_LENGTH;
        return BLOCK_NEXT;
    }
}

// The decimal number at the start of text as atoi reads it (blanks, a sign,
// digits), held within the line and kept far from overflow.
static int64_t ReadDecimal(const char *text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; i++) {
        if (value < INT64_C(1000000000000)) value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// Drops everything buffered; the next boundary line is searched in what
// follows.
static void SkipFrame(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    ReceiveFrame(pCtx)->frameSize = -1;
    pFB->fillLevel = 0;
    pFB->parsePos = 0;
    pFB->lineScanPos = 0;
    pCtx->camera.cameraState = IPCAM_STATE_FIND_PART;
}

// State 6: part header lines up to "Content-Length: N".
static BlockResult CheckContentLength(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    const unsigned char *data = ReceiveData(pCtx);
    for (;;) {
        int32_t start = pFB->parsePos;
        int32_t cr = TakeParseLine(pFB, data);
        if (cr == -1) return BLOCK_END;
        size_t length = static_cast<size_t>(cr - start);
        const char *line = reinterpret_cast<const char *>(data + start);
        if (length <= LENGTH_LINE_SKIP || memcmp(line, "Content-Length:", 15) != 0) continue;
        long size = static_cast<long>(
            ReadDecimal(line + LENGTH_VALUE_OFFSET, length - LENGTH_VALUE_OFFSET));
        int index = pFB->receiveIndex;
        LogInfo("Frame size [%d]=(%ld)", index, size);
        if (size > pFB->bufferSize) {
            // Without -v the user would see "connected" and no recording.
            if (!pCtx->camera.oversizeReported) {
                pCtx->camera.oversizeReported = 1;
                LogWarning(
                    "The camera sends frames of %ld bytes, larger than the frame buffer (%ld "
                    "bytes): they are not recorded. Set ipcam_video_width and "
                    "ipcam_video_height to the camera's picture size",
                    size, static_cast<long>(pFB->bufferSize));
            }
            LogInfo(
                "Error: Frame size [%d] (%ld) is larger than size of frame buffer (%ld). "
                "Skip this frame...",
                index, size, static_cast<long>(pFB->bufferSize));
            SkipFrame(pCtx);
            return BLOCK_END;
        }
        if (size <= 0) {
            LogInfo("Error: Frame size [%d] (%ld) holds no image. Skip this frame...", index, size);
            SkipFrame(pCtx);
            return BLOCK_END;
        }
        ReceiveFrame(pCtx)->frameSize = static_cast<int32_t>(size);
        pCtx->camera.cameraState = IPCAM_STATE_FIND_HEADER_END;
        return BLOCK_NEXT;
    }
}

// State 7: the remaining part header lines up to the empty one.
static BlockResult FindHeaderEnd(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    const unsigned char *data = ReceiveData(pCtx);
    for (;;) {
        int32_t start = pFB->parsePos;
        int32_t cr = TakeParseLine(pFB, data);
        if (cr == -1) return BLOCK_END;
        if (cr == start) {
            pCtx->camera.cameraState = IPCAM_STATE_RECEIVE_FRAME;
            return BLOCK_NEXT;
        }
    }
}

// The picture size in the SOF marker of a JPEG; false when none is found
// before the scan data.
static bool JpegPictureSize(const unsigned char *jpeg, int32_t length, int *width, int *height) {
    int32_t at = 2;
    if (length < 4 || jpeg[0] != 0xff || jpeg[1] != 0xd8) return false;
    while (at + 9 <= length && jpeg[at] == 0xff) {
        unsigned char marker = jpeg[at + 1];
        if (marker == 0xff) {
            at++;
            continue;
        }
        bool sof =
            marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (sof) {
            *height = GetBe16(jpeg + at + 5);
            *width = GetBe16(jpeg + at + 7);
            return true;
        }
        if (marker == 0xda) return false;
        at += 2 + GetBe16(jpeg + at + 2);
    }
    return false;
}

// The first picture of a connection must have the configured size: the
// AVI header carries that size, and players decode a picture of another
// size wrongly. Warns once per connection.
static void CheckPictureSize(RecorderContext *pCtx) {
    if (pCtx->camera.pictureSizeChecked) return;
    pCtx->camera.pictureSizeChecked = 1;
    const FrameBufferPool *pFB = &pCtx->frameBuffer;
    const FrameRecord &frame = pFB->frames[pFB->receiveIndex];
    int width = 0, height = 0;
    if (!JpegPictureSize(frame.data + pFB->parsePos, frame.frameSize, &width, &height)) return;
    const RecorderConfig *config = pCtx->pConfig;
    if (width == config->ipcam_video_width && height == config->ipcam_video_height) return;
    LogWarning(
        "The camera's picture is %dx%d but the recordings are made for %dx%d: set "
        "ipcam_video_width and ipcam_video_height to the camera's picture size",
        width, height, config->ipcam_video_width, config->ipcam_video_height);
}

// State 8: the whole image is in the buffer: record it, make it a complete
// frame, and move on to the next receive buffer, where the parse goes on
// over the bytes carried over.
static BlockResult ReceiveFrameImage(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    int64_t end = static_cast<int64_t>(pFB->parsePos) + ReceiveFrame(pCtx)->frameSize;
    if (end > pFB->fillLevel) return BLOCK_END;
    CheckPictureSize(pCtx);
    RecordFrame(pCtx);
    FinishReceivingFrame(pFB);
    if (GetNextReceiveFrameBuffer(pFB, pFB->receiveIndex) == -1) {
        LogError("All frame buffers are occupied. Reconnect IP camera...");
        CloseCamera(pCtx);
        return BLOCK_END;
    }
    pCtx->camera.cameraState = IPCAM_STATE_FIND_PART;
    return pCtx->connection[pCtx->cameraIndex].fd == -1 ? BLOCK_END : BLOCK_NEXT;
}

// State 5 is never entered; reaching it means the parser is broken.
static BlockResult EnterUnusedState(RecorderContext *pCtx) {
    LogError("Enter unused state IPCAM_STATE_CHECK_CONTENT_TYPE");
    Shutdown(pCtx);
}

// The state blocks in order; each one that advances lets the next
// one run, so one call can go from the status line to a complete frame.
// After a frame the blocks run again over the bytes that followed it, so
// that every frame the read completed is taken before the next read: frames
// left waiting would pile up behind a fast camera until the buffer filled,
// and be lost when the camera closed.
void ParseCameraStream(RecorderContext *pCtx) {
    static const struct {
        int state;
        BlockResult (*run)(RecorderContext *pCtx);
    } kBlocks[] = {
        {IPCAM_STATE_CHECK_STATUS, CheckStatusLine},
        {IPCAM_STATE_CHECK_BOUNDARY, CheckBoundary},
        {IPCAM_STATE_FIND_PART, FindPart},
        {IPCAM_STATE_CHECK_CONTENT_TYPE, EnterUnusedState},
        {IPCAM_STATE_CHECK_CONTENT_LENGTH, CheckContentLength},
        {IPCAM_STATE_FIND_HEADER_END, FindHeaderEnd},
        {IPCAM_STATE_RECEIVE_FRAME, ReceiveFrameImage},
    };
    for (;;) {
        for (const auto &block : kBlocks) {
            if (pCtx->camera.cameraState == block.state && block.run(pCtx) == BLOCK_END) return;
        }
    }
}
