// storage.cpp -- the storage check: measure, report, answer vidula, reclaim.
#include "storage.h"

#include <inttypes.h>
#include <signal.h>
#include <stdio.h>

#include "logging.h"
#include "storage_signal.h"

StorageLatches gStorageLatches = {1, 1};

int64_t CameraReserve(const RecorderConfig *pConfig) {
    int64_t limit = pConfig->nvr_max_file_size;
    const int64_t factors[] = {pConfig->nvr_change_file_interval, pConfig->ipcam_video_width,
                               pConfig->ipcam_video_height, 6};
    int64_t reserve = pConfig->ipcam_fps;
    for (int64_t factor : factors) {
        if (__builtin_mul_overflow(reserve, factor, &reserve)) return limit;
    }
    return reserve > limit ? limit : reserve;
}

// a + b, held at INT64_MAX instead of overflowing.
static int64_t AddBytes(int64_t a, int64_t b) {
    int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

// Tells the NVR manager about the space conditions of this check.
static void ReportSpaceConditions(pid_t vidulaPid, int64_t quotaLeft, int64_t freeSpace,
                                  int64_t cameraReserve) {
    if (quotaLeft > freeSpace) {
        if (gStorageLatches.systemSpaceErrorArmed) {
            LogError(
                "The available disk space is smaller than the configured reserved space of NVR "
                "system");
        }
        gStorageLatches.systemSpaceErrorArmed = 0;
        NotifyVidulaManager(vidulaPid, NOTIFY_DISK_LOW,
                            "The available disk space is smaller than the configured reserved "
                            "space for this IP camera");
    } else {
        gStorageLatches.systemSpaceErrorArmed = 1;
        if (cameraReserve > quotaLeft || quotaLeft <= 0) {
            NotifyVidulaManager(vidulaPid, NOTIFY_QUOTA_USED,
                                "The whole reserved space for this IP camera is used");
        }
    }
}

// Deletes the oldest recordings until both quotaLeft and freeSpace exceed the
// reserve. Returns STORAGE_ROOM (no signal: vidula's state stays as it is) or
// STORAGE_NO_ROOM after SIGUSR2.
static int ReclaimStorage(const RecorderConfig *pConfig, pid_t vidulaPid, int64_t quotaLeft,
                          int64_t freeSpace, int64_t cameraReserve) {
    for (;;) {
        if (quotaLeft > cameraReserve && freeSpace > cameraReserve) return STORAGE_ROOM;
        int64_t deleted = DeleteOldestFile(pConfig);
        if (deleted == -1) {
            if (gStorageLatches.noOldFileErrorArmed) LogError("No old file to delete");
            gStorageLatches.noOldFileErrorArmed = 0;
            BlockVidula(vidulaPid);
            return STORAGE_NO_ROOM;
        }
        gStorageLatches.noOldFileErrorArmed = 1;
        quotaLeft = AddBytes(quotaLeft, deleted);
        freeSpace = AddBytes(freeSpace, deleted);
    }
}

int CheckStorage(const RecorderConfig *pConfig, pid_t vidulaPid) {
    if (pConfig == nullptr) {
        LogError("null pointer pConfig in CheckStorage()");
        BlockVidula(vidulaPid);
        return STORAGE_MEASURE_FAILED;
    }
    int64_t cameraReserve = CameraReserve(pConfig);
    int64_t quota = pConfig->nvr_max_storage_space;

    int64_t usedSpace = GetFolderUsedSpace(pConfig->recordFolderPrefix);
    if (usedSpace == -1) {
        NotifyVidulaManager(vidulaPid, NOTIFY_MEASURE_FAILED, "Failed to get used storage space");
        BlockVidula(vidulaPid);
        return STORAGE_MEASURE_FAILED;
    }
    int64_t quotaLeft = quota - usedSpace;  // both at least 0: cannot overflow

    int64_t freeSpace = GetFolderFreeSpace(pConfig->recordFolderPrefix);
    if (freeSpace == -1) {
        NotifyVidulaManager(vidulaPid, NOTIFY_MEASURE_FAILED, "Failed to get free storage space");
        BlockVidula(vidulaPid);
        return STORAGE_MEASURE_FAILED;
    }

    ReportSpaceConditions(vidulaPid, quotaLeft, freeSpace, cameraReserve);
    char usedText[32];
    snprintf(usedText, sizeof(usedText), "%" PRId64, usedSpace);
    NotifyVidulaManager(vidulaPid, NOTIFY_USED_SPACE, usedText);

    if (quotaLeft > cameraReserve && freeSpace > cameraReserve) {
        LogInfo("Has enough space and send signal (%d) to parent", SIGUSR1);
        QueueSignalToVidula(vidulaPid, STORAGE_SIGNAL_SPACE_OK);
        return STORAGE_ROOM;
    }
    if (!pConfig->nvr_recycle_storage) {
        LogInfo("Try to reclaim disk in non-recycle mode");
        BlockVidula(vidulaPid);
        return STORAGE_NO_ROOM;
    }
    return ReclaimStorage(pConfig, vidulaPid, quotaLeft, freeSpace, cameraReserve);
}
