// recorder.h -- vidula's process-wide record and the operations of its
// process skeleton, grouped by the file that defines them.
//
// RecorderContext lives in main's frame for the whole run and is passed first
// to every operation as pCtx. It owns the configuration record, the frame
// buffers, the open AVI file and every socket.
#pragma once

#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include "config.h"
#include "frame_buffer.h"

struct AviFile;

enum {
    CONNECTION_COUNT = 7,  // camera, live video listener, five live clients
    LV_CLIENT_COUNT = 5,
    POLL_TIMEOUT_MS = 1000,
    FILE_NAME_SIZE = 1024,
    BOUNDARY_SIZE = 128,
    RECONNECT_DELAY_MAX = 300,     // seconds
    LV_SERVER_RETRY_SECONDS = 10,  // restart the live server after this long (default)
    // A tarsel that cannot be started again is tried once more after this
    // long (default; VIDULA_TARSEL_RETRY_SECONDS sets it).
    DISK_MANAGER_RETRY_SECONDS = 10,
};

struct Schedule {
    unsigned char enabled;
};

// One live video client; record k belongs to connection[lvServerIndex + 1 + k].
struct LvClient {
    uint32_t lastSentSequence;  // sequence of the last frame chosen; 0 = none
    int state;                  // LV_STATE_*
    char address[16];           // "%d.%d.%d.%d"
    uint16_t port;              // host order
    int frameIndex;             // pool frame being sent; -1 = none
    int sentBytes;              // bytes of that frame written
    time_t acceptedAt;          // pCtx->now when accepted; for the request time-out
    time_t lastTaken;           // when the viewer last took bytes of a frame it holds
};

// The camera connection: its state over the HTTP response and the stream.
struct CameraLink {
    int cameraState;                   // IPCAM_STATE_*: 0 disconnected, 1 connecting, 2+ HTTP
    int reconnectDelay;                // seconds slept before the next attempt
    int reconnectCount;                // attempts since the last HTTP 200
    char boundary[BOUNDARY_SIZE];      // the camera's multipart boundary
    unsigned char oversizeReported;    // a frame too large for the buffers was reported
    unsigned char pictureSizeChecked;  // the first picture's size was checked
};

// The recording session: the open AVI file and its counters.
struct RecordingSession {
    AviFile *avi;                      // file being written; null when none
    struct timeval sessionStart;       // when the current file was started
    struct timeval changeFileTime;     // when the main loop changes files
    int32_t frameSlots;                // frame positions in the file, empty frames included
    int32_t framesWritten;             // camera frames in the file
    char fileName[FILE_NAME_SIZE];     // path of the current file
    int64_t fileSize;                  // bytes counted for the current file
    unsigned char frameWriteFailed;    // a frame write failed in this file; reported once
    time_t nameTakenSecond;            // a file of this start second exists; start with the next
    time_t nextStartTry;               // a failed start is tried again from then on
    unsigned char startWaitsForSpace;  // ...or at once when tarsel clears recordingBlocked
    unsigned char startErrorReported;  // a failed start was logged; re-armed by a start
    int32_t framesDropped;             // camera frames of this file that could not be written
};

// The live video server: the viewers' records beside their connection[] entries.
struct LvServer {
    struct timeval lastLvServerStart;  // last try to start the live server
    int retrySeconds;                  // a stopped server is started again after this long
    int stallSeconds;                  // a viewer that takes nothing this long is closed
    LvClient lvClient[LV_CLIENT_COUNT];
    unsigned char acceptPaused;  // out of descriptors: the listener waits for one
};

// The process: configuration, poll set and schedules, and one record per
// part. camera_*.cpp own `camera`, recording*.cpp own `session`, lv_*.cpp
// own `lvServer`; the frame pool is shared by all three.
struct RecorderContext {
    struct timeval startTime;                    // taken by Init
    RecorderConfig *pConfig;                     // allocated once, refilled by every reload
    pid_t diskManagerPid;                        // running tarsel; -1 when none
    int diskManagerRetrySeconds;                 // a failed restart is tried once more after this
    struct timeval now;                          // refreshed once per pass, after poll()
    Schedule cameraSchedule;                     // camera connection wanted
    Schedule recordSchedule;                     // frames are to be recorded
    struct pollfd connection[CONNECTION_COUNT];  // fd -1 marks a free entry
    int cameraIndex;                             // 0
    int lvServerIndex;                           // 1; clients follow
    int pollTimeout;                             // milliseconds
    FrameBufferPool frameBuffer;                 // frames and receive parse state
    CameraLink camera;
    RecordingSession session;
    LvServer lvServer;
};

// Process-wide flags: the signal handlers set them, the main loop clears them.
extern volatile sig_atomic_t shutdownRequested;
extern volatile sig_atomic_t reloadRequested;
extern volatile sig_atomic_t recordingBlocked;
extern volatile sig_atomic_t notifyParent;
extern volatile sig_atomic_t childExited;

// Reports camera errors once per episode; re-armed by a good outcome.
extern unsigned char cameraErrorReportArmed;

/* init.cpp */
int Init(RecorderContext *pCtx, const char *configPath);
int ReloadConfig(RecorderContext *pCtx, const char *configPath);

/* shutdown.cpp */
// Stops tarsel and the live server, finishes the open recording, closes
// every connection, frees what Init took and exits with status 1.
[[noreturn]] void Shutdown(RecorderContext *pCtx);

/* signals.cpp */
// Installs the handlers; exits 1 with "(VIDULA) Error: Sigaction failed".
void InstallSignalHandlers();
// Logs, in verbose mode, the signals received since the last call.
void LogReceivedSignals();

/* disk_manager_child.cpp */
int StartDiskManager(RecorderContext *pCtx);
pid_t ReapChild();

/* main_loop.cpp */
// Runs passes until Shutdown; returns the exit status for the fatal poll()
// and clock errors that end main without Shutdown.
int RunMainLoop(RecorderContext *pCtx);
void DispatchConnection(RecorderContext *pCtx, int index);
// The camera sent nothing for nvr_connection_idle_timeout seconds: reports
// it (manager code 200), stops the recording and disconnects the camera.
// Returns 0.
int HandleIdleTimeout(RecorderContext *pCtx);
