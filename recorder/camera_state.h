// camera_state.h -- the states of the camera connection (cameraState).
#pragma once

// 0 and 1 belong to the connection; from 2 on the stream parser drives the
// state over the camera's HTTP response and its multipart body.
enum {
    IPCAM_STATE_DISCONNECTED = 0,          // no connection
    IPCAM_STATE_CONNECTING = 1,            // non-blocking connect in progress
    IPCAM_STATE_CHECK_STATUS = 2,          // request sent; waiting for the status line
    IPCAM_STATE_CHECK_BOUNDARY = 3,        // response headers: the "boundary=" line
    IPCAM_STATE_FIND_PART = 4,             // looking for a boundary line
    IPCAM_STATE_CHECK_CONTENT_TYPE = 5,    // never entered; entering it is fatal
    IPCAM_STATE_CHECK_CONTENT_LENGTH = 6,  // part headers: "Content-Length:"
    IPCAM_STATE_FIND_HEADER_END = 7,       // part headers up to the empty line
    IPCAM_STATE_RECEIVE_FRAME = 8,         // waiting for the whole image
};
