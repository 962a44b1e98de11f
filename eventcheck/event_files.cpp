// event_files.cpp -- file tests and small text files of the event checks.
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"

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

int CreateMarker(const char *path) {
    FILE *file = fopen(NasPath(path).c_str(), "w+");
    if (file == nullptr) return 1;
    fclose(file);
    return 0;
}

void RemoveFile(const char *path) { unlink(NasPath(path).c_str()); }

bool FileOpens(const char *path) {
    FILE *file = fopen(NasPath(path).c_str(), "r");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

int ReadTextLines(const char *path, int bufferSize, bool takeUnterminated,
                  std::vector<std::string> *lines) {
    FILE *file = fopen(NasPath(path).c_str(), "r");
    if (file == nullptr) return 1;
    std::vector<char> buffer(static_cast<size_t>(bufferSize));
    while (fgets(buffer.data(), bufferSize, file) != nullptr) {
        size_t length = strlen(buffer.data());
        bool terminated = length > 0 && buffer[length - 1] == '\n';
        if (terminated) {
            length--;
        } else if (!takeUnterminated && feof(file)) {
            break;
        }
        lines->emplace_back(buffer.data(), length);
    }
    fclose(file);
    return 0;
}

int AppendText(const char *path, const std::string &text) {
    FILE *file = fopen(NasPath(path).c_str(), "a");
    if (file == nullptr) return 1;
    size_t written = fwrite(text.data(), 1, text.size(), file);
    return fclose(file) == 0 && written == text.size() ? 0 : 1;
}

std::string JoinBlank(const std::vector<std::string> &lines) {
    std::string joined;
    for (const std::string &line : lines) {
        if (!joined.empty()) joined += ' ';
        joined += line;
    }
    return joined;
}
