// recording_names.cpp -- the names of recording files and their dated folders.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logging.h"
#include "recording.h"

// "_.avi" marks a file that is still being written; the final name replaces
// its ".avi" with the end time, "YYYY-MM-DD#hh-mm-ss.avi".
static const char kInProgressEnding[] = "_.avi";
static const size_t kInProgressEndingLength = sizeof(kInProgressEnding) - 1;
// The final name is this much longer than the in-progress name.
static const size_t kFinalNameGrowth = sizeof("2026-12-06#14-10-00") - 1;

// Opens path as a folder, or makes it when it does not exist. Returns 0 when
// the folder is there.
static int EnsureFolder(const char *path) {
    DIR *dir = opendir(path);
    if (dir != nullptr) {
        closedir(dir);
        return 0;
    }
    if (errno != ENOENT) return 1;
    if (mkdir(path, 0777) != 0) return errno == EEXIST ? 0 : 1;
    LogInfo("Create folder: %s", path);
    return 0;
}

int GenerateStartAviFileName(char *nameBuffer, time_t startSeconds, const RecorderConfig *config) {
    const char *folder = config->recordFolderPrefix;
    snprintf(nameBuffer, FILE_NAME_SIZE, "%.*s", FILE_NAME_SIZE - 1, folder);
    struct tm start;
    if (localtime_r(&startSeconds, &start) == nullptr) {
        LogError("Fail to get localtime in GenerateStartAviFileName()");
        return 1;
    }
    int year = start.tm_year + 1900, month = start.tm_mon + 1, day = start.tm_mday;
    int length =
        snprintf(nameBuffer, FILE_NAME_SIZE, "%s%04d/%02d/%02d/%s%04d-%02d-%02d#%02d-%02d-%02d%s",
                 folder, year, month, day, config->nvr_video_name_prefix, year, month, day,
                 start.tm_hour, start.tm_min, start.tm_sec, kInProgressEnding);
    // The final name, and so the in-progress one, must fit the buffer whole.
    if (length < 0 || static_cast<size_t>(length) + kFinalNameGrowth >= FILE_NAME_SIZE) {
        LogError("Recording file name is too long for folder %s and prefix %s", folder,
                 config->nvr_video_name_prefix);
        nameBuffer[0] = '\0';
        return 1;
    }

    // Reported once until the folder is there again.
    static unsigned char rootErrorArmed = 1;
    DIR *root = opendir(folder);
    if (root == nullptr) {
        if (rootErrorArmed) LogError("Fail to access recording root folder");
        rootErrorArmed = 0;
        return 1;
    }
    closedir(root);
    rootErrorArmed = 1;
    char path[CONFIG_FOLDER_SIZE + 3 * 12];  // the folder and three numbers with slashes
    snprintf(path, sizeof(path), "%s%04d", folder, year);
    if (EnsureFolder(path) != 0) return 1;
    snprintf(path, sizeof(path), "%s%04d/%02d", folder, year, month);
    if (EnsureFolder(path) != 0) return 1;
    snprintf(path, sizeof(path), "%s%04d/%02d/%02d", folder, year, month, day);
    if (EnsureFolder(path) != 0) return 1;
    return 0;
}

int BuildFinalAviFileName(char *out, size_t outSize, const char *inProgressName,
                          const struct tm *end) {
    size_t length = strlen(inProgressName);
    if (length < kInProgressEndingLength ||
        strcmp(inProgressName + length - kInProgressEndingLength, kInProgressEnding) != 0) {
        return 1;
    }
    // Keep everything up to and including the "_" of "_.avi".
    int keep = static_cast<int>(length - kInProgressEndingLength + 1);
    int written = snprintf(out, outSize, "%.*s%04d-%02d-%02d#%02d-%02d-%02d.avi", keep,
                           inProgressName, end->tm_year + 1900, end->tm_mon + 1, end->tm_mday,
                           end->tm_hour, end->tm_min, end->tm_sec);
    if (written < 0 || static_cast<size_t>(written) >= outSize) {
        if (outSize > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

int ClaimRecordingFile(const char *path) {
    mode_t previous = umask(0);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    umask(previous);
    if (fd < 0) return errno == EEXIST ? 1 : -1;
    close(fd);
    return 0;
}

// How many later end seconds a final name may take when its own is taken.
enum { FINAL_NAME_TRIES = 600 };

int BuildFreeFinalAviFileName(char *out, size_t outSize, const char *inProgressName,
                              time_t endSeconds) {
    for (int i = 0; i < FINAL_NAME_TRIES; i++) {
        time_t seconds = endSeconds + i;
        struct tm end;
        if (localtime_r(&seconds, &end) == nullptr) return 1;
        if (BuildFinalAviFileName(out, outSize, inProgressName, &end) != 0) return 1;
        struct stat st;
        if (lstat(out, &st) != 0 && errno == ENOENT) return 0;
    }
    if (outSize > 0) out[0] = '\0';
    return 1;
}
