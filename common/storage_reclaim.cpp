// storage_reclaim.cpp -- DeleteOldestFile: the walk over the year, month and
// day folders that deletes the oldest recording.
//
// The lists of one walk grow with what "ls -l" prints, so every qualifying
// folder is seen however many there are (the month rule alone admits 13
// names, 00 to 12).
#include <inttypes.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "logging.h"
#include "shell.h"
#include "shell_command.h"
#include "storage.h"
#include "storage_parse.h"

// The clock of one walk: the current time, and today's local date.
struct WalkClock {
    int haveNow;  // 0: every file still being written is passed over
    time_t now;
    int haveDate;  // 0: no folder is removed
    int year, month, day;
    int isdst;  // daylight-saving flag of today, -1 without a date
};

static void ReadWalkClock(WalkClock *clock) {
    clock->haveNow = time(&clock->now) != static_cast<time_t>(-1);
    clock->haveDate = 0;
    clock->isdst = -1;
    struct tm local;
    if (clock->haveNow && localtime_r(&clock->now, &local) != nullptr) {
        clock->haveDate = 1;
        clock->year = local.tm_year + 1900;
        clock->month = local.tm_mon + 1;
        clock->day = local.tm_mday;
        clock->isdst = local.tm_isdst;
    }
}

static void LogPipeFailure() { LogError("Fail to open pipe in GetFolderUsedSpace()"); }
static void LogInvalidLine() { LogError("Get invalid ls output line in DeleteOldestFile()"); }

// Starts "ls -l" of folder; logs the pipe failure line when it cannot.
static FILE *OpenListing(const std::string &folder) {
    ShellCommand command;
    BuildShellCommand(&command, "ls -l", {folder.c_str()});
    FILE *pipe = OpenShellOutput(ShellCommandLine(&command));
    if (pipe == nullptr) LogPipeFailure();
    return pipe;
}

// Collects, in listing order, the folders of folder whose names pass keep.
// Returns 0, or 1 when the listing could not be started.
static int ListFolders(const std::string &folder, int (*keep)(const char *),
                       std::vector<std::string> *names) {
    FILE *pipe = OpenListing(folder);
    if (pipe == nullptr) return 1;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    ListingEntry entry;
    while ((length = ReadOutputLine(&line, &capacity, pipe)) > 0) {
        if (ParseListingLine(line, static_cast<size_t>(length), &entry) != 0) {
            LogInvalidLine();
        } else if (entry.kind == LISTING_FOLDER && keep(entry.name)) {
            names->push_back(entry.name);
        }
    }
    free(line);
    CloseShellOutput(pipe);
    return 0;
}

// Removes a folder left empty; the line is logged whether rmdir succeeds or
// not (a folder that still holds other entries stays).
static void RemoveEmptyFolder(const std::string &folder) {
    rmdir(folder.c_str());
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Delete empty folder %s", folder.c_str());
}

// (y1, m1, d1) before (y2, m2, d2); a level left out is given as 0 on both.
static bool IsEarlier(int y1, int m1, int d1, int y2, int m2, int d2) {
    if (y1 != y2) return y1 < y2;
    if (m1 != m2) return m1 < m2;
    return d1 < d2;
}

// Deletes the first deletable recording of one day folder. Returns its size,
// or -1; *recordings counts the recordings of that day seen (-1 when the
// folder could not be listed).
static int64_t DeleteOldestInDay(const RecorderConfig *pConfig, const WalkClock &clock,
                                 const std::string &dayFolder, const std::string &year,
                                 const std::string &month, const std::string &day,
                                 int *recordings) {
    *recordings = 0;
    FILE *pipe = OpenListing(dayFolder);
    if (pipe == nullptr) {
        *recordings = -1;
        return -1;
    }
    int64_t deleted = -1;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    ListingEntry entry;
    while (deleted == -1 && (length = ReadOutputLine(&line, &capacity, pipe)) > 0) {
        if (ParseListingLine(line, static_cast<size_t>(length), &entry) != 0) {
            LogInvalidLine();
            continue;
        }
        if (entry.kind != LISTING_FILE) continue;
        const char *date = FindRecordingDate(entry.name, year.c_str(), month.c_str(), day.c_str());
        if (date == nullptr) continue;
        (*recordings)++;
        if (IsRecordingProtected(entry.name, date, clock.haveNow, clock.now, clock.isdst,
                                 pConfig->nvr_change_file_interval)) {
            continue;
        }
        int64_t size;
        if (ParseByteCount(entry.size, 1, &size) != 0) {
            LogInvalidLine();
            continue;
        }
        std::string path = dayFolder + "/" + entry.name;
        ShellCommand remove;
        BuildShellCommand(&remove, "rm -f", {path.c_str()});
        if (ShellCommandRun(&remove) != 0) {
            // Not run, or rm could not delete it: nothing was reclaimed.
            LogError("Fail to delete file %s", path.c_str());
            continue;
        }
        LogEvent(LOG_CONSOLE | LOG_QUEUE,
                 "Quota used off and delete file %s to reclaim %" PRId64 " bytes of storage space",
                 path.c_str(), size);
        deleted = size;
    }
    free(line);
    CloseShellOutput(pipe);
    return deleted;
}

int64_t DeleteOldestFile(const RecorderConfig *pConfig) {
    if (pConfig == nullptr) {
        LogError("null pointer pConfig in DeleteOldestFile()");
        return -1;
    }
    WalkClock clock;
    ReadWalkClock(&clock);
    const std::string root = pConfig->nvr_record_folder;

    std::vector<std::string> years;
    if (ListFolders(root, IsYearName, &years) != 0) return -1;
    for (const std::string &year : years) {
        const std::string yearFolder = root + year;
        const int y = atoi(year.c_str());
        std::vector<std::string> months;
        if (ListFolders(yearFolder, IsMonthName, &months) != 0) continue;
        if (months.empty()) {
            if (clock.haveDate && IsEarlier(y, 0, 0, clock.year, 0, 0)) {
                RemoveEmptyFolder(yearFolder);
            }
            continue;
        }
        for (const std::string &month : months) {
            const std::string monthFolder = yearFolder + "/" + month;
            const int m = atoi(month.c_str());
            std::vector<std::string> days;
            if (ListFolders(monthFolder, IsDayName, &days) != 0) continue;
            if (days.empty()) {
                if (clock.haveDate && IsEarlier(y, m, 0, clock.year, clock.month, 0)) {
                    RemoveEmptyFolder(monthFolder);
                }
                continue;
            }
            for (const std::string &day : days) {
                const std::string dayFolder = monthFolder + "/" + day;
                int recordings;
                int64_t deleted =
                    DeleteOldestInDay(pConfig, clock, dayFolder, year, month, day, &recordings);
                if (deleted != -1) return deleted;
                if (recordings == 0 && clock.haveDate &&
                    IsEarlier(y, m, atoi(day.c_str()), clock.year, clock.month, clock.day)) {
                    RemoveEmptyFolder(dayFolder);
                }
            }
        }
    }
    return -1;
}
