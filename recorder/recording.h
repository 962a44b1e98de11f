// recording.h -- recording sessions: AVI files started, cut, renamed and
// closed around the camera's frames.
#pragma once

#include "recorder.h"

// Records the complete frame in the receive buffer (called by the parser).
int RecordFrame(RecorderContext *pCtx);
// Closes the open file properly (storage full, reload, shutdown).
int RecordingBlocked(RecorderContext *pCtx);
// The file-change time has come.
int ChangeRecordingFile(RecorderContext *pCtx);
// The camera sent nothing for nvr_connection_idle_timeout seconds.
int HandleIdleTimeout(RecorderContext *pCtx);
