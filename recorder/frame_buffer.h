// frame_buffer.h -- the pool of six frame buffers shared by the camera parser,
// the recording session and the live video clients.
//
// The parser receives into one buffer at a time; a complete frame gets the
// next sequence number (never 0) and is offered to live clients, who hold it
// with a reader count while they send it. A held buffer is never reused for
// receiving. Buffers are allocated lazily, at most six.
#pragma once

#include <stdint.h>
#include <sys/time.h>

enum { FRAME_BUFFER_COUNT = 6 };

// One buffer of the pool.
struct FrameRecord {
    unsigned char *data;  // bufferSize bytes (plus room for the CRLF); null until needed
    int32_t frameSize;    // JPEG bytes from "Content-Length:"; -1 after a frame that did not fit
    int32_t partStart;    // offset of the part's boundary line in data
    int32_t partLength;   // boundary line to end of image plus CRLF: what live clients send
    uint32_t sequence;    // sequence of the complete frame held; 0 = none
    int32_t readers;      // live clients sending this frame
};

struct FrameBufferPool {
    FrameRecord frames[FRAME_BUFFER_COUNT];
    int32_t bufferSize;       // width x height x 3
    uint32_t lastSequence;    // sequence of the newest complete frame; 0 before the first
    int32_t receiveIndex;     // buffer the parser fills; -1 when none
    int32_t fillLevel;        // bytes of camera data in the receive buffer
    int32_t parsePos;         // the parser's position in the receive buffer
    struct timeval lastFrameTime;  // connection made or last frame recorded; 0 = none
};

// Results: 0 success, 1 (or -1 where stated) failure, errors logged.
int InitFrameBuffer(FrameBufferPool *pFB, int32_t bufferSize);
int FreeFrameBuffer(FrameBufferPool *pFB);
int ResetFrameBuffer(FrameBufferPool *pFB);
int GetNextReceiveFrameBuffer(FrameBufferPool *pFB, int current);
int GetCurrentReceiveFrameBuffer(FrameBufferPool *pFB);
int FinishReceivingFrame(FrameBufferPool *pFB);
int GetNextSendFrameBuffer(FrameBufferPool *pFB, uint32_t lastSent);
int FinishSendingFrame(FrameBufferPool *pFB, int index);
