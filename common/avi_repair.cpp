// avi_repair.cpp -- finishing a scanned recording with the writer's close and
// giving it its start-and-end name without replacing another file.
#include "avi_repair.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "avi_format.h"
#include "avi_writer.h"
#include "storage_parse.h"

// An in-progress name ends with the start time, "YYYY-MM-DD#hh-mm-ss", and
// "_.avi".
static const size_t kStartLength = 19;
static const char kInProgressEnding[] = "_.avi";
static const size_t kEndingLength = sizeof(kInProgressEnding) - 1;

// A free end time is looked for this many seconds past the natural one.
static const int kNameAttempts = 60;

int ReadAviStartTime(const char *path, time_t *startSeconds) {
    size_t length = strlen(path);
    if (length < kStartLength + kEndingLength ||
        strcmp(path + length - kEndingLength, kInProgressEnding) != 0) {
        return 1;
    }
    const char *date = path + length - kEndingLength - kStartLength;
    // The separators of "YYYY-MM-DD#hh-mm-ss"; the digits are read as the
    // storage check reads them, in local time.
    static const int kSeparatorAt[] = {4, 7, 10, 13, 16};
    static const char kSeparator[] = "--#--";
    for (int i = 0; i < 5; i++) {
        if (date[kSeparatorAt[i]] != kSeparator[i]) return 1;
    }
    return ReadRecordingStart(date, -1, startSeconds);
}

int BuildRepairedAviName(char *out, size_t outSize, const char *path, int32_t frames, uint32_t rate,
                         int extraSeconds) {
    time_t start;
    if (ReadAviStartTime(path, &start) != 0) return 1;
    // The frames last frames / fps seconds: frames x 10000 / rate.
    long long duration = rate == 0 ? 0 : (10000LL * frames) / rate;
    time_t end = start + static_cast<time_t>(duration) + extraSeconds;
    struct tm local;
    if (localtime_r(&end, &local) == nullptr) return 1;
    // Keep everything up to and including the "_" of "_.avi".
    int keep = static_cast<int>(strlen(path) - kEndingLength + 1);
    int written = snprintf(out, outSize, "%.*s%04d-%02d-%02d#%02d-%02d-%02d.avi", keep, path,
                           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec);
    if (written < 0 || static_cast<size_t>(written) >= outSize) return 1;
    return 0;
}

// Renames from to to unless to exists. Returns 0, or -1 with errno (EEXIST
// when to is taken).
static int RenameNoReplace(const char *from, const char *to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without the flag: a hard link is made only when the name
    // is free.
    if (link(from, to) == 0) return unlink(from);
    if (errno != EPERM && errno != EOPNOTSUPP) return -1;
    // Neither (FAT): the check and the rename are not one step, a shortcut
    // accepted on volumes that offer nothing better.
    if (access(to, F_OK) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

// Gives the finished file at path its start-and-end name (or, in a dry run,
// finds the name it would get).
static void NameRepairedFile(const char *path, int flags, AviRepairResult *result) {
    snprintf(result->finalName, sizeof(result->finalName), "%s", path);
    char name[AVI_REPAIR_NAME_SIZE];
    for (int extra = 0; extra < kNameAttempts; extra++) {
        if (BuildRepairedAviName(name, sizeof(name), path, result->scan.frameCount,
                                 result->scan.rate, extra) != 0) {
            return;
        }
        int taken;
        if (flags & AVI_REPAIR_DRY_RUN) {
            taken = access(name, F_OK) == 0;
        } else if (RenameNoReplace(path, name) == 0) {
            taken = 0;
        } else if (errno == EEXIST) {
            taken = 1;
        } else {
            result->systemError = errno;
            result->failure = "rename";
            result->outcome = AVI_REPAIR_FAILED;
            return;
        }
        if (!taken) {
            snprintf(result->finalName, sizeof(result->finalName), "%s", name);
            result->renamed = 1;
            return;
        }
        result->nameTaken = 1;
    }
}

// Writes the index and the final header with the writer's own close.
static int FinishScannedFile(int fd, AviScan *scan) {
    AviFile avi;
    memset(&avi, 0, sizeof(avi));
    avi.fileDescriptor = fd;
    avi.openMode = AVI_MODE_WRITE;
    avi.width = scan->width;
    avi.height = scan->height;
    avi.fps = scan->fps;
    memcpy(avi.codecCode, scan->codecCode, sizeof(avi.codecCode));
    avi.frameCount = scan->frameCount;
    avi.dataEnd = scan->dataEnd;
    avi.indexCount = scan->frameCount;
    avi.indexCapacity = scan->frameCount;
    avi.indexEntries = scan->index;
    return AVI_close_output_file(&avi);
}

static int Fail(AviRepairResult *result, int outcome, const char *failure) {
    result->outcome = outcome;
    result->systemError = errno;
    result->failure = failure;
    return 1;
}

int RepairAviRecording(const char *path, int flags, AviRepairResult *result) {
    memset(result, 0, sizeof(*result));
    bool dryRun = (flags & AVI_REPAIR_DRY_RUN) != 0;
    // Non-blocking, so that a FIFO named by mistake does not hang the open.
    int fd = open(path, (dryRun ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return Fail(result, AVI_REPAIR_FAILED, "open");
    // The lock stays until the file is renamed, so no other repair runs at once.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return Fail(result, AVI_REPAIR_BUSY, "lock");
    }
    if (ScanAviRecording(fd, &result->scan) != 0) {
        close(fd);
        result->outcome = AVI_REPAIR_REFUSED;
        result->systemError = result->scan.systemError;
        return 1;
    }
    if (result->scan.frameCount == 0) {
        // Nothing to keep: a close with no frame removes the file too.
        FreeAviScan(&result->scan);
        if (!dryRun && unlink(path) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return Fail(result, AVI_REPAIR_FAILED, "remove");
        }
        close(fd);
        result->outcome = AVI_REPAIR_REMOVED;
        return 0;
    }
    result->outcome = result->scan.finished ? AVI_REPAIR_ALREADY_FINISHED : AVI_REPAIR_FINISHED;
    if (!dryRun && !result->scan.finished && FinishScannedFile(fd, &result->scan) != 0) {
        errno = AVI_last_system_error;
        FreeAviScan(&result->scan);
        close(fd);
        return Fail(result, AVI_REPAIR_FAILED, "write");
    }
    FreeAviScan(&result->scan);
    NameRepairedFile(path, flags, result);
    close(fd);
    return result->outcome == AVI_REPAIR_FAILED ? 1 : 0;
}
