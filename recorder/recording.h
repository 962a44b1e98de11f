// recording.h -- recording sessions: AVI files started, cut, renamed and
// closed around the camera's frames.
//
// One file is open while pCtx->session.avi is set. It is named after its start while
// it is written ("<folder>YYYY/MM/DD/<prefix>YYYY-MM-DD#hh-mm-ss_.avi") and
// after its start and end once finished ("..._YYYY-MM-DD#hh-mm-ss.avi"), in
// local time. Files are cut by time (nvr_change_file_interval, never past the
// top of the hour) and by size (nvr_max_file_size), and empty frames keep the
// frame timing true to the wall clock. Every operation takes the time from
// pCtx->now, never from the clock.
#pragma once

#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

#include "config.h"
#include "recorder.h"

enum {
    // Bytes counted for a new file: the header area and the head of idx1.
    RECORDING_FILE_START_SIZE = 2048 + 8,
    // Bytes counted per frame besides its data: the chunk head.
    RECORDING_FRAME_OVERHEAD = 8,
    // ChangeRecordingFile opens the next file at once only when the camera
    // delivered a frame less than this many seconds ago.
    RECORDING_ACTIVE_SECONDS = 3,
    // A file that could not be started is tried again after this long.
    RECORDING_RETRY_SECONDS = 5,
};

/* recording.cpp */
// Records the complete frame of the receive buffer (its JPEG is frameSize
// bytes at parsePos); called by the stream parser for every frame, before
// FinishReceivingFrame. Sets frameBuffer.lastFrameTime. With recording on, it
// writes the empty frames CountMissingFrames asks for and then the frame,
// starting a file first when none is open (manager code 1) or when the frame
// would take the file past nvr_max_file_size. Allocates nothing, looks up
// nothing in the file system and copies no frame while the file goes on.
// Returns 0 when the frame was written or recording is off, 1 when it was
// dropped (no frame in the receive buffer, no file could be started, or the
// write failed: reported once per file).
int RecordFrame(RecorderContext *pCtx);

// Closes the open file properly and sends manager code 2 when a file was
// open. Does nothing while recording is off. Returns 0.
int RecordingBlocked(RecorderContext *pCtx);

// The file-change time has come: finishes the file and starts the next one
// at once when the camera delivered a frame in the last 3 seconds (else the
// next frame starts it). Returns 0, 1 when the next file could not start.
int ChangeRecordingFile(RecorderContext *pCtx);

// The number of empty frames to write before the frame about to be written
// so that the file holds fps frames per second since start: 0 when the file
// is short of fewer than 2 slots, else the shortfall less the slot the frame
// itself takes. Never negative.
int32_t CountMissingFrames(int32_t frameSlots, struct timeval start, struct timeval now,
                           int32_t fps);

// The wall clock was stepped by step seconds (NTP setting a board without a
// real-time clock) between the previous pass and now: that is no camera gap.
// The open file is finished with its end in the old time (its empty frames
// stay true to the camera) and the next one, named after the new time,
// starts at once when the camera is active; the frame time moves with the
// clock so that no time-out fires (the main loop moves its own timers).
// Returns 0.
int HandleClockStep(RecorderContext *pCtx, time_t step);

/* recording_session.cpp */
// Finishes any open file and opens a new one named after now: asks tarsel to
// check the storage, makes the folders, writes the in-progress header and
// sets the session counters and changeFileTime. Returns 0 when a file is
// open, 1 when recording is off or blocked or the file could not be made
// (errors logged).
int StartAviRecording(RecorderContext *pCtx);

// Finishes the open file (index and final header), renames it to its final
// name with "mv" and logs the average frame rate. Nothing when no file is
// open. Returns 0; 1 when the file could not be finished or renamed (it then
// keeps its in-progress name, which fileName holds).
int StopAviRecording(RecorderContext *pCtx);

// Sends SIGUSR1 to the disk manager so that it checks the storage, and
// returns at once; nothing is sent when no disk manager runs (pid <= 0).
// Returns 0 when the signal was sent, 1 otherwise.
int RequestStorageCheck(const RecorderConfig *config, pid_t diskManagerPid);

/* recording_names.cpp */
// Writes the in-progress name of a file started at startSeconds into
// nameBuffer and makes its year, month and day folders under
// nvr_record_folder. Returns 0; 1 when the local time is unavailable, the
// record folder is missing, a folder cannot be made, or the final name would
// not fit FILE_NAME_SIZE (errors logged as they happen).
// REQUIRES: nameBuffer has room for FILE_NAME_SIZE bytes.
int GenerateStartAviFileName(char *nameBuffer, time_t startSeconds, const RecorderConfig *config);

// Writes the final name of the file inProgressName ("..._.avi") closed at
// the local time end into out. Returns 0; 1 when inProgressName does not end
// with "_.avi" or the name does not fit outSize.
int BuildFinalAviFileName(char *out, size_t outSize, const char *inProgressName,
                          const struct tm *end);

// Creates path as a new empty file (permissions 0664), never opening one that
// exists: a recording left by a predecessor that started in the same second
// keeps its frames. Returns 0 when created, 1 when path exists, -1 on any
// other failure (errno set).
int ClaimRecordingFile(const char *path);

// The final name of inProgressName closed at endSeconds, as
// BuildFinalAviFileName, that no file has yet: when the name is taken (a
// clock stepped back), the end time moves on by whole seconds until one is
// free, so that finishing never replaces a recording. Returns 0; 1 when no
// free name was found or the name does not fit outSize.
int BuildFreeFinalAviFileName(char *out, size_t outSize, const char *inProgressName,
                              time_t endSeconds);
