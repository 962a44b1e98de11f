// event_files.cpp -- file tests and the small text files of the event checks.
//
// orlinda runs as root and writes fixed names under "/tmp/" and on data
// volumes that users can reach. None of these calls writes through a
// symbolic link: markers are made with O_NOFOLLOW and never truncated,
// appends go through AppendTextFile and rewrites through ReplaceTextFile (a
// new file renamed over the old one). A link found at such a name is left
// alone, and one line says so.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

bool FileExists(const char *path) {
    struct stat st;
    if (stat(NasPath(path).c_str(), &st) == 0) return true;
    return errno != ENOENT;
}

int DirectoryState(const char *path) {
    DIR *dir = opendir(NasPath(path).c_str());
    if (dir != nullptr) {
        closedir(dir);
        return 1;
    }
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

void ReportLinkRefused(const char *path) {
    static std::set<std::string> reported;
    if (errno != ELOOP || !reported.insert(path).second) return;
    printf("orlinda: %s is a symbolic link; left alone\n", path);
}

int CreateMarker(const char *path) {
    int fd = open(NasPath(path).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        ReportLinkRefused(path);
        return 1;
    }
    close(fd);
    return 0;
}

void RemoveFile(const char *path) { unlink(NasPath(path).c_str()); }

bool FileOpens(const char *path) {
    FILE *file = fopen(NasPath(path).c_str(), "r");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

std::set<std::string> ReadLineSet(const char *path) {
    std::vector<std::string> lines;
    ReadTextLines(path, &lines);
    return std::set<std::string>(lines.begin(), lines.end());
}

int AppendText(const char *path, const std::string &text) {
    if (AppendTextFile(path, text) == 0) return 0;
    ReportLinkRefused(path);
    return 1;
}

int ReplaceText(const char *path, const std::string &text) {
    if (ReplaceTextFile(path, text) == 0) return 0;
    ReportLinkRefused(path);
    return 1;
}
