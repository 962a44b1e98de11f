// lv_server.h -- the live video server: up to five HTTP viewers of the
// camera's stream, served from the main loop.
//
// The listening socket is connection[lvServerIndex]; viewer k is
// connection[lvServerIndex + 1 + k] with its record lvClient[k]. A viewer
// sends one request head ("GET /mjpg/video.mjpg" or
// "GET /axis-cgi/mjpg/video.cgi?...", "HTTP/" and the empty line, all in one
// read), gets "HTTP/1.0 200 OK" with a multipart header naming the camera's
// own boundary, and then the camera's parts byte for byte, always the newest
// complete frame it has not been sent yet. Frames are written straight from
// the frame buffer pool; a viewer holds at most one frame (a reader count)
// while it sends it, so a slow viewer skips frames and never delays the
// camera or the other viewers.
//
// Closing a viewer means: close its descriptor, set the entry to -1 and give
// back the frame it holds (FinishSendingFrame, exactly once per frame taken).
#pragma once

#include "recorder.h"

// States of a viewer (LvClient.state).
enum {
    LV_STATE_NEW = 0,            // accepted, request not yet examined
    LV_STATE_REQUEST = 1,        // request recognised
    LV_STATE_HEADERS = 2,        // checking that the request head is complete
    LV_STATE_SEND_RESPONSE = 4,  // request accepted; the response header is to be written
    LV_STATE_STREAMING = 5,      // frames are being pushed
};

enum {
    LV_LISTEN_BACKLOG = 5,
    LV_REQUEST_READ_SIZE = 1024,  // the whole request head must come in one read of this size
    // When all five entries are taken, a viewer that has not completed its
    // request this many seconds after it connected gives its entry up to the
    // newcomer.
    LV_REQUEST_TIMEOUT_SECONDS = 10,
    // A streaming viewer that takes no byte of a frame for this long is
    // gone (a laptop asleep) and gives its place up (default).
    LV_STALL_SECONDS = 30,
};

/* lv_server.cpp */
// Sets the server's times: LV_SERVER_RETRY_SECONDS and LV_STALL_SECONDS, or
// the whole seconds of VIDULA_LV_RETRY_SECONDS and VIDULA_LV_STALL_SECONDS
// when they are set (tests use them to wait on events, not on the clock).
void LvServerTimingFromEnvironment(LvServer *server);
// Opens the listening socket on lvs_server_port (any local IPv4 address,
// backlog 5, non-blocking, SO_REUSEADDR, close-on-exec) and frees the five
// viewer entries. Does nothing when the port is 0. A server still running is
// stopped first (error logged). Returns 0 when listening; 1 when the socket
// could not be made (entry -1) or bound or put to listening (errors logged;
// the socket then stays in the entry, the next poll() reports it hung up and
// AcceptLvClient closes it, and the main loop tries again after 10 seconds).
int StartLvServer(RecorderContext *pCtx);
// Closes every viewer (frames given back) and the listening socket. Returns 0;
// 1 for a null pCtx.
int StopLvServer(RecorderContext *pCtx);
// Serves the listening entry: a poll error stops accepting (socket closed,
// entry -1, for the main loop to restart); POLLIN accepts one connection into
// the first free viewer entry, or refuses it when all five are taken.
// Returns 0 when a viewer was added, 1 otherwise.
int AcceptLvClient(RecorderContext *pCtx, int index);
// Closes viewer entry `index` as described above. Returns 0; 1 when index is
// not a viewer entry.
// The camera came back with another multipart boundary: the viewers that
// were sent the old one in their header are closed (a browser would freeze
// on parts it cannot find); new viewers get the new boundary. Returns the
// number of viewers closed.
int CloseLvStreamingClients(RecorderContext *pCtx);
int CloseLvClient(RecorderContext *pCtx, int index);
// Called before every poll(): sets the events each viewer waits for, so that
// poll() wakes for a viewer only when it has something to do. A viewer whose
// request is awaited waits for POLLIN; one whose response header is due waits
// for POLLOUT once the camera's boundary is known; a streaming viewer waits
// for POLLOUT while it holds a frame or a newer frame than its last exists,
// else for nothing (poll errors and hang-ups are reported all the same).
void PrepareLvClientEvents(RecorderContext *pCtx);

/* lv_client.cpp */
// Serves viewer entry `index` for the events poll() returned: a poll error
// closes it; in the request states POLLIN reads and checks the request head;
// in the later states POLLOUT writes the response header or one piece of the
// current frame. Any failure (refused request, peer gone, write error) closes
// the viewer with its message logged. Returns 1 when the viewer was closed
// (or pCtx is null or index is not a viewer entry), else 0.
int HandleLvClientEvent(RecorderContext *pCtx, int index);
