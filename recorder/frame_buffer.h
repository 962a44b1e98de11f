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

enum {
    FRAME_BUFFER_COUNT = 6,
    // Every buffer is allocated this many bytes beyond bufferSize, so the CRLF
    // that FinishReceivingFrame appends after an image fits even when the
    // image ends at the last byte of bufferSize. Camera data never goes there.
    FRAME_BUFFER_CRLF_ROOM = 2,
    // Frames are newer than a client's last one by at most this many numbers;
    // a larger distance means the numbers have wrapped.
    FRAME_SEQUENCE_WRAP_WINDOW = 60000,
};

// One buffer of the pool.
struct FrameRecord {
    unsigned char *data;  // bufferSize + FRAME_BUFFER_CRLF_ROOM bytes; null until needed
    int32_t frameSize;    // JPEG bytes from "Content-Length:"; -1 after a frame that did not fit
    int32_t partStart;    // offset of the part's boundary line in data
    int32_t partLength;   // boundary line to end of image plus CRLF: what live clients send
    uint32_t sequence;    // sequence of the complete frame held; 0 = none
    int32_t readers;      // live clients sending this frame
};

struct FrameBufferPool {
    FrameRecord frames[FRAME_BUFFER_COUNT];
    int32_t bufferSize;            // width x height x 3: camera bytes a buffer holds
    uint32_t lastSequence;         // sequence of the newest complete frame; 0 before the first
    int32_t receiveIndex;          // buffer the parser fills; -1 when none
    int32_t fillLevel;             // bytes of camera data in the receive buffer (<= bufferSize)
    int32_t parsePos;              // the parser's position in the receive buffer
    struct timeval lastFrameTime;  // connection made or last frame recorded; 0 = none
    // The camera's bytes that the appended CRLF covered (the first bytes after
    // the image), put back when they are carried over to the next buffer.
    unsigned char coveredBytes[FRAME_BUFFER_CRLF_ROOM];
    int32_t coveredCount;  // 0 to 2; set by FinishReceivingFrame
    // Where the parser's search for the end of the unfinished line at
    // parsePos resumes, so that no byte is scanned twice; 0 = at parsePos.
    int32_t lineScanPos;
};

// Results: 0 success, 1 (or -1 where stated) failure, errors logged.

// Sets up an empty pool of buffers of bufferSize bytes; allocates nothing.
// 1 for a null pool or a size <= 0.
int InitFrameBuffer(FrameBufferPool *pFB, int32_t bufferSize);
// Frees every allocated buffer. The pool must hold no reader.
int FreeFrameBuffer(FrameBufferPool *pFB);
// Marks every frame as holding nothing to send (sequence 0).
int ResetFrameBuffer(FrameBufferPool *pFB);

// Chooses the next receive buffer: the oldest buffer that no client holds,
// else a newly allocated one, else `current` itself. The bytes that followed
// the image of `current` (from parsePos + frameSize to fillLevel) move to the
// start of the chosen buffer; with current -1 the buffer starts empty.
// Returns the new receiveIndex, or -1 (allocation failed, every buffer held,
// or current out of range), errors logged.
int GetNextReceiveFrameBuffer(FrameBufferPool *pFB, int current);
// receiveIndex; -1 for a null pool.
int GetCurrentReceiveFrameBuffer(FrameBufferPool *pFB);
// Completes the frame whose image is frameSize bytes at parsePos of the
// receive buffer: appends CRLF, sets partLength and the next sequence number.
// -1 when there is no receive buffer or the image does not lie inside it.
int FinishReceivingFrame(FrameBufferPool *pFB);

// The newest complete frame newer than lastSent (0 = none sent yet), with its
// readers incremented; -1 when there is none. Every index returned must be
// given back once to FinishSendingFrame.
int GetNextSendFrameBuffer(FrameBufferPool *pFB, uint32_t lastSent);
// Releases a frame taken by GetNextSendFrameBuffer. -1 for an index outside
// 0..5 ("Index overflow in FinishSendingFrame()").
int FinishSendingFrame(FrameBufferPool *pFB, int index);
