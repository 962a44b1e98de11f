// handoff_files.cpp -- share folders, file names, filesIds, links and times.
#include "handoff_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "nas_path.h"
#include "shell_command.h"

std::string TmpShareFolder(const HandoffConfig *config, const std::string &filesId) {
    return TmpShareTree(config) + kHandoffMarker + filesId;
}

std::string FinalShareFolder(const HandoffConfig *config, const std::string &filesId) {
    return FinalShareTree(config) + kHandoffMarker + filesId;
}

std::string SystemFolderFile(const HandoffConfig *config, const char *name) {
    return config->shareRoot + kHandoffSystemFolder + name;
}

std::string StatusFilePath(const HandoffConfig *config) {
    return SystemFolderFile(config, "parcelo_status.conf");
}

std::string HistoryFilePath(const HandoffConfig *config) {
    return SystemFolderFile(config, "parcelo_history.conf");
}

std::string PendingRecordPath(const HandoffConfig *config, const std::string &filesId) {
    return config->shareRoot + kHandoffSystemFolder + "history_" + filesId + ".tmp";
}

int FilesIdIsSafe(const std::string &id, int allowEmpty) {
    if (id.empty()) return allowEmpty ? 1 : 0;
    if (id == "." || id == "..") return 0;
    return id.find_first_of("/\n\r") == std::string::npos ? 1 : 0;
}

static int UnderMnt(const std::string &path) { return path.compare(0, 5, "/mnt/") == 0; }

int CopySourceIsAllowed(const std::string &source) {
    if (!UnderMnt(source) || source.find_first_of("\n\r") != std::string::npos) return 0;
    size_t start = 1;
    while (start <= source.size()) {
        size_t end = source.find('/', start);
        if (end == std::string::npos) end = source.size();
        std::string part = source.substr(start, end - start);
        if (part == "." || part == ".." || part == ".system_file" ||
            part == ".storage_server_parcelo")
            return 0;
        start = end + 1;
    }
    // The real place counts, so a link on the volume cannot lead elsewhere.
    char real[PATH_MAX], mnt[PATH_MAX];
    if (realpath(NasPath(source.c_str()).c_str(), real) == nullptr) return 0;
    if (realpath(NasPath("/mnt/").c_str(), mnt) == nullptr) return 0;
    size_t n = strlen(mnt);
    if (strncmp(real, mnt, n) != 0 || (real[n] != '/' && real[n] != '\0')) return 0;
    struct stat st;
    return stat(real, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int OpenCopySource(const std::string &source) {
    if (!CopySourceIsAllowed(source)) return -1;
    int fd = open(NasPath("/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 1;
    while (fd >= 0 && start < source.size()) {
        size_t end = source.find('/', start);
        if (end == std::string::npos) end = source.size();
        std::string part = source.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        // Never through a link: the folder checked is the folder copied.
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

std::string JoinFilesId(const std::string &a, const std::string &b) {
    if (a.size() + b.size() >= 20)
        return (a + b.substr(0, a.size() < 20 ? 20 - a.size() : 0)).substr(0, 20);
    std::string padded = b;
    while (a.size() + padded.size() < 20) padded += '0';
    return a + padded;
}

// 1 when an entry of folder has candidate in its name (what a listing of
// the folder filtered by the candidate would print); -1 when the folder
// cannot be read.
static int ListedInFolder(const std::string &folder, const std::string &candidate) {
    DIR *d = opendir(folder.c_str());
    if (d == nullptr) return -1;
    int found = 0;
    while (struct dirent *e = readdir(d)) {
        if (strstr(e->d_name, candidate.c_str()) != nullptr) found = 1;
    }
    closedir(d);
    return found;
}

int MakeFilesId(const HandoffConfig *config, std::string *filesId) {
    // Processes that start in the same second must not draw the same numbers.
    struct timeval now;
    gettimeofday(&now, nullptr);
    srandom(static_cast<unsigned>(now.tv_sec) ^ static_cast<unsigned>(now.tv_usec << 11) ^
            static_cast<unsigned>(getpid() << 16));
    std::string tree = FinalShareTree(config);
    for (int tries = 0; tries < 1000; tries++) {
        std::string candidate = JoinFilesId(std::to_string(random()), std::to_string(random()));
        int listed = ListedInFolder(NasPath(tree.c_str()), candidate);
        if (listed < 0 && errno == ENOENT) {  // a share tree removed by hand is made again
            MakeShareTrees(config);
            listed = ListedInFolder(NasPath(tree.c_str()), candidate);
        }
        if (listed < 0) {
            // A fixed text of the system's output, spelling included.
            printf("Opne pipe: %s\n", strerror(errno));
            return 1;
        }
        if (listed) continue;
        struct stat st;
        if (stat(NasPath(PendingRecordPath(config, candidate).c_str()).c_str(), &st) == 0) continue;
        *filesId = candidate;
        return 0;
    }
    return 1;
}

std::string FormatHandoffTime(time_t t) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    char text[96];
    snprintf(text, sizeof(text), "%d/%d/%d %d:%d:%d", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return text;
}

std::string ExpiryTime(const HandoffConfig *config) {
    return FormatHandoffTime(time(nullptr) + static_cast<time_t>(config->effectiveDays) * 86400);
}

int MakeShares(const HandoffConfig *config, const std::string &filesId) {
    if (config->shareRoot.empty()) return 1;
    std::string final = NasPath(FinalShareFolder(config, filesId).c_str());
    if (mkdir(final.c_str(), 0777) != 0) {
        printf("Make folder: %s\n", strerror(errno));
        return 1;
    }
    // The temporary folder is opened to everyone, as the share needs; the
    // other users' folders beside it keep their modes.
    mkdir(NasPath(TmpShareTree(config).c_str()).c_str(), 0777);
    std::string tmp = NasPath(TmpShareFolder(config, filesId).c_str());
    if (mkdir(tmp.c_str(), 0777) != 0 && errno != EEXIST) return 1;
    return chmod(tmp.c_str(), 0777) != 0 ? 1 : 0;
}

int MakeLinks(const HandoffConfig *config, const std::string &filesId, HandoffLinks *links) {
    links->tmpNetworkPath =
        std::string("PARCELO_TMP_SHARE") + "\\" + kHandoffMarker + filesId + "\\";
    links->lanLink =
        "\\\\" + config->br0Address + "\\PARCELO_FINAL_SHARE\\" + kHandoffMarker + filesId;
    links->tmpFtpPath = std::string("PARCELO_TMP_SHARE/") + kHandoffMarker + filesId + "/";
    links->internetLink =
        "ftp://" + config->internetAddr + "/PARCELO_FINAL_SHARE/" + kHandoffMarker + filesId;
    return 0;
}

int FolderExists(const std::string &path) {
    struct stat st;
    return stat(NasPath(path.c_str()).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

void RemoveTree(const std::string &path) {
    ShellCommand c;
    ShellCommandBegin(&c, "rm -rf");
    ShellCommandWord(&c, NasPath(path.c_str()).c_str());
    ShellCommandRun(&c);
}
