// startup_repair.h -- vidula's start-up repair of the recordings its
// previous run left unfinished.
#pragma once

#include "recorder.h"

// Finishes every in-progress file ("<prefix>YYYY-MM-DD#hh-mm-ss_.avi") of the
// recording tree (nvr_record_folder/YYYY/MM/DD) that no running writer holds:
// the files of a run that was killed. Each becomes a finished, indexed
// recording with its start-and-end name (never replacing another file), or
// is removed when it holds no complete frame; one line is logged per file.
// A file that cannot be read as a recording is left as it is, with a
// warning. Call before the first file of this run is opened. Returns the
// number of files finished or removed.
int RepairPreviousRecordings(const RecorderContext *pCtx);
