// startup_repair.cpp -- walks the recording tree at start-up and finishes the
// in-progress files that a killed run left.
#include "startup_repair.h"

#include <dirent.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "avi_repair.h"
#include "logging.h"

// The names in folder that are count digits (year, month or day folders), or
// the in-progress files of prefix, sorted.
static std::vector<std::string> ListNames(const std::string &folder, int digits,
                                          const char *prefix) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    size_t prefixLength = prefix == nullptr ? 0 : strlen(prefix);
    // "<prefix>YYYY-MM-DD#hh-mm-ss_.avi"
    const size_t kDatedLength = 19 + 5;
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        size_t length = strlen(name);
        if (prefix == nullptr) {
            if (static_cast<int>(length) == digits &&
                strspn(name, "0123456789") == static_cast<size_t>(digits)) {
                names.push_back(name);
            }
        } else if (length == prefixLength + kDatedLength &&
                   strncmp(name, prefix, prefixLength) == 0 &&
                   strcmp(name + length - 5, "_.avi") == 0) {
            time_t start;
            if (ReadAviStartTime(name, &start) != 0) continue;
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Repairs one file and logs what became of it. Returns 1 when it was
// finished or removed.
static int RepairOne(const std::string &path) {
    AviRepairResult r;
    RepairAviRecording(path.c_str(), 0, &r);
    switch (r.outcome) {
        case AVI_REPAIR_FINISHED:
        case AVI_REPAIR_ALREADY_FINISHED:
            if (!r.renamed) {
                LogWarning("Repaired %s but kept its name: its start-and-end names are taken",
                           path.c_str());
                return 1;
            }
            LogEvent(LOG_CONSOLE | LOG_QUEUE, "Repaired %s to %s: %d frames kept, %llu bytes cut%s",
                     path.c_str(), r.finalName, r.scan.frameCount,
                     static_cast<unsigned long long>(r.scan.cutBytes),
                     r.nameTaken ? " (a later end time: the name was taken)" : "");
            return 1;
        case AVI_REPAIR_REMOVED:
            LogEvent(LOG_CONSOLE | LOG_QUEUE, "Removed %s: no complete frame", path.c_str());
            return 1;
        case AVI_REPAIR_BUSY:
            LogInfo("%s is being written by another recorder", path.c_str());
            return 0;
        case AVI_REPAIR_REFUSED:
            LogWarning("Cannot repair %s: %s", path.c_str(), AviScanText(r.scan.status));
            return 0;
        default:
            LogError("Fail to repair %s: cannot %s it: %s", path.c_str(), r.failure,
                     strerror(r.systemError));
            return 0;
    }
}

int RepairPreviousRecordings(const RecorderContext *pCtx) {
    const RecorderConfig *config = pCtx->pConfig;
    std::string root = config->nvr_record_folder;
    if (root.empty()) return 0;
    if (root.back() != '/') root += '/';
    int repaired = 0;
    for (const std::string &year : ListNames(root, 4, nullptr)) {
        std::string yearPath = root + year + "/";
        for (const std::string &month : ListNames(yearPath, 2, nullptr)) {
            std::string monthPath = yearPath + month + "/";
            for (const std::string &day : ListNames(monthPath, 2, nullptr)) {
                std::string dayPath = monthPath + day + "/";
                for (const std::string &file :
                     ListNames(dayPath, 0, config->nvr_video_name_prefix)) {
                    repaired += RepairOne(dayPath + file);
                }
            }
        }
    }
    return repaired;
}
