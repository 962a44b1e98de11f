// text_file.cpp -- whole text files: read, append, rewrite by rename, lock.
#include "text_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nas_path.h"
#include "whole_io.h"

int ReadTextFile(const std::string &path, std::string *text) {
    int fd = open(NasPath(path.c_str()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::string content;
    char chunk[16384];
    for (;;) {
        ssize_t n = ReadAll(fd, chunk, sizeof(chunk));
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        content.append(chunk, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof(chunk)) break;
    }
    close(fd);
    text->swap(content);
    return 0;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

int ReadTextLines(const std::string &path, std::vector<std::string> *lines) {
    std::string text;
    if (ReadTextFile(path, &text) != 0) return -1;
    std::vector<std::string> read = SplitLines(text);
    lines->insert(lines->end(), read.begin(), read.end());
    return 0;
}

// Closes fd keeping the errno of the failure being reported.
static int CloseAfterFailure(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

int AppendTextFile(const std::string &path, const std::string &text, mode_t mode) {
    int fd = open(NasPath(path.c_str()).c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (WriteAll(fd, text.data(), text.size()) != 0) return CloseAfterFailure(fd);
    return close(fd) == 0 ? 0 : -1;
}

// Makes the scratch file new; one left by a killed process of the same id is
// removed first (unlink removes a link itself, never its target).
static int OpenScratch(const std::string &scratch, mode_t mode) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(scratch.c_str(), flags, mode);
    if (fd < 0 && errno == EEXIST && unlink(scratch.c_str()) == 0) {
        fd = open(scratch.c_str(), flags, mode);
    }
    return fd;
}

// Flushes the folder holding path, so the rename itself survives a power cut.
static void SyncFolder(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

int PrepareTextFile(const std::string &path, const std::string &text, std::string *scratch,
                    mode_t mode) {
    std::string target = NasPath(path.c_str());
    struct stat old;
    if (lstat(target.c_str(), &old) == 0) {
        if (S_ISLNK(old.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        mode = old.st_mode & 07777;
    }
    std::string name = target + ".tmp." + std::to_string(getpid());
    int fd = OpenScratch(name, mode);
    if (fd < 0) return -1;
    if (WriteAll(fd, text.data(), text.size()) != 0 || fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        CloseAfterFailure(fd);
    } else if (close(fd) == 0) {
        *scratch = name;
        return 0;
    }
    int saved = errno;
    unlink(name.c_str());
    errno = saved;
    return -1;
}

int CommitTextFile(const std::string &scratch, const std::string &path) {
    std::string target = NasPath(path.c_str());
    if (rename(scratch.c_str(), target.c_str()) != 0) return -1;
    SyncFolder(target);
    return 0;
}

int ReplaceTextFile(const std::string &path, const std::string &text, mode_t mode) {
    std::string scratch;
    if (PrepareTextFile(path, text, &scratch, mode) != 0) return -1;
    if (CommitTextFile(scratch, path) == 0) return 0;
    int saved = errno;
    unlink(scratch.c_str());
    errno = saved;
    return -1;
}

int TextFileLock(const std::string &path, bool wait) {
    int fd = open(NasPath(path.c_str()).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    while (flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR && wait) continue;
        return CloseAfterFailure(fd);
    }
    return fd;
}

void TextFileUnlock(int fd) {
    if (fd >= 0) close(fd);
}

int MakeFolders(const std::string &path, mode_t mode) {
    std::string full = NasPath(path.c_str());
    for (size_t slash = full.find('/', 1); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        if (mkdir(full.substr(0, slash).c_str(), mode) != 0 && errno != EEXIST) return -1;
    }
    if (mkdir(full.c_str(), mode) != 0 && errno != EEXIST) return -1;
    struct stat st;
    if (stat(full.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}
