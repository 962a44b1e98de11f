// storage.h -- storage accounting and reclamation of one camera's recordings,
// run by tarsel on each request from vidula.
//
// The recordings live under nvr_record_folder in year/month/day folders
// ("2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-10-00.avi"; a file still
// being written ends in "_.avi"). CheckStorage keeps them inside the camera's
// quota and the volume's free space, deleting the oldest recordings when
// recycling is on, and tells vidula by signal whether recording may go on.
// Measuring and deleting run the shell tools du, df, ls and rm; every path
// reaches the shell through ShellQuote.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "config.h"

// Values queued with SIGUSR1 to vidula.
enum {
    STORAGE_SIGNAL_NOTIFY = 1,    // a record was put on the manager queue
    STORAGE_SIGNAL_SPACE_OK = 2,  // there is enough room; recording may go on
};

// Results of CheckStorage.
enum { STORAGE_ROOM = 0, STORAGE_NO_ROOM = 1, STORAGE_MEASURE_FAILED = -1 };

// tarsel's two error latches, 1 (armed: the next occurrence is logged) at
// start-up. The good outcome re-arms them, so that each error line appears
// once per episode.
struct StorageLatches {
    unsigned char systemSpaceErrorArmed;  // "The available disk space is smaller ..."
    unsigned char noOldFileErrorArmed;    // "No old file to delete"
};
extern StorageLatches gStorageLatches;

// The room one recording file may take: ipcam_fps x nvr_change_file_interval
// x width x height x 6 bytes, lowered to nvr_max_file_size (also when the
// product does not fit in 64 bits).
int64_t CameraReserve(const RecorderConfig *pConfig);

// Measures used and free space, reports them to the NVR manager through
// NotifyManagerVia(vidulaPid, ...) (codes 403, 402, 3; 900 when a measurement
// fails) and answers vidula: SIGUSR1 with value 2 when there is room at once,
// SIGUSR2 when there is none or a measurement failed, nothing when room was
// made by deleting the oldest recordings (recycle mode). Returns STORAGE_ROOM,
// STORAGE_NO_ROOM, or STORAGE_MEASURE_FAILED. Before each signal it waits
// (a quarter of a second at most) until vidula has taken the one before, so
// that no queued value is merged away or overtaken.
int CheckStorage(const RecorderConfig *pConfig, pid_t vidulaPid);

// Bytes used under folder as "du" counts them, or -1 when du cannot be run or
// prints no usable line.
int64_t GetFolderUsedSpace(const char *folder);

// Free bytes of the volume holding folder as "df" reports them (the available
// column), or -1.
int64_t GetFolderFreeSpace(const char *folder);

// Deletes the oldest recording under nvr_record_folder: walks the year, month
// and day folders in name order as "ls -l" lists them, passes over a file
// still being written (see IsRecordingProtected), and runs "rm -f" on the
// first other recording. Empty folders of days, months and years before
// today are removed on the way ("Delete empty folder ..."). Returns the size
// of the deleted file in bytes, or -1 when no file could be deleted. A file
// whose rm fails is logged ("Fail to delete file ...") and passed over, so a
// failure is never counted as reclaimed space.
int64_t DeleteOldestFile(const RecorderConfig *pConfig);
