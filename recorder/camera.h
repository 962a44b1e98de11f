// camera.h -- the camera connection (non-blocking connect and request) and
// the handler of the camera's connection[] entry (the stream parser).
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
// Closes the camera socket; state 0, lastFrameTime cleared. Returns 0.
int DoDisconnectIPcam(RecorderContext *pCtx);
// DoDisconnectIPcam, forgets the frames, stops reconnection and closes the
// open recording. Returns 0.
int DisconnectIPcam(RecorderContext *pCtx);

/* base64.cpp */
// Writes the Base64 form (padded with '=') of the NUL-terminated text in, and
// a NUL. REQUIRES: out has room for 4 * ceil(strlen(in) / 3) + 1 bytes.
void Base64Encode(const char *in, char *out);

/* camera_parser.cpp */
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
