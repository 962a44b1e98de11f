// camera.h -- the camera: the connection (non-blocking connect, request and
// the one close), the reader that serves its connection[] entry, and the
// stream parser that turns the bytes read into frames.
//
// The camera files own pCtx->camera and the receive side of the frame pool;
// they hand every complete frame to the recording (RecordFrame) and tell it
// when the camera is lost (RecordingBlocked). Nothing calls back into them
// but the main loop and Init.
#pragma once

#include "camera_state.h"
#include "recorder.h"

enum {
    // Credentials text "user:password" and its Base64 form. Both fields of
    // the configuration fit whole (255 characters each).
    CAMERA_CREDENTIALS_SIZE = 2 * CONFIG_NAME_SIZE,  // 510 + ":" + NUL
    CAMERA_CREDENTIALS_BASE64_SIZE = 4 * (CAMERA_CREDENTIALS_SIZE / 3 + 1) + 1,
    CAMERA_REQUEST_SIZE = 2048,       // request line, headers and the empty line
    CAMERA_STATUS_LINE_MAX = 64,      // characters of a status line before its CRLF
    CAMERA_RESPONSE_HEAD_MAX = 1024,  // the boundary line ends within these bytes
};

/* camera_connection.cpp */
// Creates the non-blocking camera socket in connection[cameraIndex] and
// starts the connection; a connection made at once sends the request and
// takes a receive buffer, one in progress sets IPCAM_STATE_CONNECTING and
// waits for POLLOUT. Returns 0 when a connection is made or under way.
// Calls Shutdown (does not return) when the socket cannot be set up, the
// address does not resolve, the connect fails at once, or no frame buffer is
// free after an immediate connect.
int DoConnectIPcam(RecorderContext *pCtx);
// Writes the camera type's request with its "Authorization: Basic" header.
// 0: sent, state IPCAM_STATE_CHECK_STATUS, POLLIN requested. 1: unknown
// camera type or short write; the socket is closed (fd -1).
int SendIpcamRequest(RecorderContext *pCtx, int index);
// Completes a connect that was under way (POLLOUT): sends the request and
// takes a receive buffer; the camera is closed when no buffer is free.
void CompleteIpcamConnect(RecorderContext *pCtx, int index);
// The one close of the camera socket: closes connection[cameraIndex] when
// open and marks the entry free (fd -1, no events). The state is left for
// the caller.
void CloseCamera(RecorderContext *pCtx);
// Logs that every frame buffer is taken, once per episode.
void ReportNoReceiveBuffer();
// Closes the camera socket; state 0, lastFrameTime cleared. Returns 0.
int DoDisconnectIPcam(RecorderContext *pCtx);
// DoDisconnectIPcam, forgets the frames, stops reconnection and closes the
// open recording. Returns 0.
int DisconnectIPcam(RecorderContext *pCtx);

/* base64.cpp */
// Writes the Base64 form (padded with '=') of the NUL-terminated text in, and
// a NUL. REQUIRES: out has room for 4 * ceil(strlen(in) / 3) + 1 bytes.
void Base64Encode(const char *in, char *out);

/* camera_reader.cpp */
// Serves the camera entry when poll() returned events for it: completes a
// pending connect, or makes one read into the receive buffer and advances
// the parser. The read takes at most nvr_max_read_size bytes (0: no limit)
// and never more than 2 KiB beyond the end of the image being received, so
// the bytes carried to the next buffer stay small; every frame that the read
// makes whole is recorded and finished in this call (RecordFrame,
// FinishReceivingFrame), so none waits in the buffer to be lost. Failures
// close the camera (fd -1) for the main loop to reconnect. Returns 0;
// Shutdown in the unused state.
int HandleCameraEvent(RecorderContext *pCtx, int index);

/* camera_parser.cpp */
// A call of a state block either lets the next block run at once (the state
// advanced, or a frame was completed) or ends the call (more data is needed,
// or the camera was closed).
enum BlockResult { BLOCK_NEXT = 0, BLOCK_END = 1 };

// Runs the state blocks over the bytes of the receive buffer, from the
// status line to complete frames, until one needs more data or the camera
// was closed. Every frame the bytes complete is recorded and finished.
void ParseCameraStream(RecorderContext *pCtx);
// The camera does not speak the expected protocol: reported (log and manager
// code) and the camera closed. Returns BLOCK_END.
BlockResult UnknownProtocol(RecorderContext *pCtx);

// The receive buffer's bytes and record.
inline unsigned char *ReceiveData(RecorderContext *pCtx) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    return pFB->frames[pFB->receiveIndex].data;
}
inline FrameRecord *ReceiveFrame(RecorderContext *pCtx) {
    return &pCtx->frameBuffer.frames[pCtx->frameBuffer.receiveIndex];
}
