// avi_repair.h -- turns a recording left by a writer that ended mid-file
// (killed, crashed, powered off) into the finished recording a normal close
// would have made.
//
// Such a file holds the header the writer put at its start (the in-progress
// form, or the final form when it ended inside the close), every chunk it
// completed and maybe a torn chunk or an old index after them. The scan reads
// it chunk by chunk and keeps every complete "00db" chunk (empty ones too);
// the repair cuts what follows, writes the index and the final header with
// the writer's own close, and gives the file its start-and-end name, the end
// being the start plus the frames over the file's frame rate. The result is
// byte for byte the file a close after the same frames would have written.
// Frames are entered into the index as key frames, as the recorder writes
// every frame.
//
// A writer holds an exclusive flock on the file it writes (see
// AVI_create_output_file); the repair takes the same lock without waiting,
// so a file still being written is never touched.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// What the scan found; the refusals leave the file as it is.
enum {
    AVI_SCAN_OK = 0,              // a header of the writer, then zero or more frames
    AVI_SCAN_EMPTY = 1,           // zero bytes only, at most a header's worth: nothing written
    AVI_SCAN_SHORT_HEADER = 2,    // refused: the file ends inside its header
    AVI_SCAN_FOREIGN_HEADER = 3,  // refused: the header is not one the writer builds
    AVI_SCAN_NO_HEADER = 4,       // refused: a blank header with data after it
    AVI_SCAN_READ_ERROR = 5,      // refused: the file could not be read
    AVI_SCAN_NOT_A_FILE = 6,      // refused: not a regular file
};

// The recording as the scan read it.
struct AviScan {
    int status;             // AVI_SCAN_*
    int headerFinal;        // 1 when the header on disk is the final form
    int32_t width, height;  // format, from the header
    uint32_t rate;          // 10000 x frames per second, from the header
    double fps;             // rate / 10000
    char codecCode[8];      // four-character code, NUL-terminated
    int32_t frameCount;     // complete "00db" chunks, empty ones included
    int32_t dataFrames;     // of those, the chunks that hold data
    uint32_t dataEnd;       // end of the last complete chunk, its pad byte included
    uint64_t fileLength;    // length of the file as found
    uint64_t cutBytes;      // bytes after dataEnd that the repair drops
    int finished;           // 1: the file already is what a close of these frames makes
    unsigned char *index;   // frameCount entries of 16 bytes as the writer enters them
    int systemError;        // errno of a read failure
};

// Reads the recording open on fd (from offset 0, whatever its position).
// Returns 0 when the file can be finished (AVI_SCAN_OK) or holds nothing
// (AVI_SCAN_EMPTY), 1 when it is refused; scan->status says which. The index
// is malloc'ed; FreeAviScan releases it.
int ScanAviRecording(int fd, AviScan *scan);
void FreeAviScan(AviScan *scan);

// A sentence for an AVI_SCAN_* status ("the file ends inside its header").
const char *AviScanText(int status);

// What RepairAviRecording did (or, in a dry run, would do).
enum {
    AVI_REPAIR_FINISHED = 0,          // index and final header written
    AVI_REPAIR_ALREADY_FINISHED = 1,  // the content was already finished: nothing written
    AVI_REPAIR_REMOVED = 2,           // no complete frame: the file was removed
    AVI_REPAIR_REFUSED = 3,           // not readable as a recording (scan.status): untouched
    AVI_REPAIR_BUSY = 4,              // a writer holds the file: untouched
    AVI_REPAIR_FAILED = 5,            // opening, writing or removing failed (systemError)
};

// Flag of RepairAviRecording: only scan and report, change nothing.
const int AVI_REPAIR_DRY_RUN = 1;

// Room for a full path, the final name included.
const int AVI_REPAIR_NAME_SIZE = 1024;

struct AviRepairResult {
    int outcome;                           // AVI_REPAIR_*
    AviScan scan;                          // what was found (its index already freed)
    char finalName[AVI_REPAIR_NAME_SIZE];  // the name the file has (or would get) after
    int renamed;                           // 1: finalName differs from the path given
    int nameTaken;        // 1: the start-and-end name was taken by another file, so finalName
                          // is a later free end time, or the path itself when none was free
    int systemError;      // errno of a failure
    const char *failure;  // what failed: "open", "write", "remove", "rename"
};

// Repairs the recording at path. A path ending in
// "YYYY-MM-DD#hh-mm-ss_.avi" (an in-progress name) is renamed to its
// start-and-end name without ever replacing an existing file: when that name
// is taken the end time is moved on second by second (up to a minute), and
// the file keeps its name when all are taken. Other names stay as they are.
// Returns 0 for FINISHED, ALREADY_FINISHED and REMOVED, 1 otherwise.
int RepairAviRecording(const char *path, int flags, AviRepairResult *result);

// The start-and-end name of the in-progress name path for a recording of
// frames frames at rate / 10000 frames per second, its end moved later by
// extraSeconds. Returns 0; 1 when path is not an in-progress name or the
// result does not fit outSize.
int BuildRepairedAviName(char *out, size_t outSize, const char *path, int32_t frames, uint32_t rate,
                         int extraSeconds);

// The start time (local time) in an in-progress name. Returns 0, 1 when path
// is not one.
int ReadAviStartTime(const char *path, time_t *startSeconds);
