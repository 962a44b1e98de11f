// handoff_textfile.cpp -- whole-file reads and writes and the shell chores on them.
#include "handoff_textfile.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "nas_path.h"
#include "shell_command.h"

int ReadTextFile(const std::string &path, std::string *text) {
    FILE *in = fopen(NasPath(path.c_str()).c_str(), "r");
    if (in == nullptr) return -1;
    text->clear();
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0) text->append(chunk, n);
    int bad = ferror(in);
    fclose(in);
    if (bad) {
        errno = EIO;
        return -1;
    }
    return 0;
}

static int PutTextFile(const std::string &path, const std::string &text, const char *mode) {
    FILE *out = fopen(NasPath(path.c_str()).c_str(), mode);
    if (out == nullptr) return -1;
    int bad = fwrite(text.data(), 1, text.size(), out) != text.size();
    bad |= fflush(out) != 0;
    if (!bad) fsync(fileno(out));
    int saved = errno;
    bad |= fclose(out) != 0;
    if (bad) {
        errno = saved ? saved : EIO;
        return -1;
    }
    return 0;
}

int WriteTextFile(const std::string &path, const std::string &text) {
    return PutTextFile(path, text, "w");
}

int AppendTextFile(const std::string &path, const std::string &text) {
    return PutTextFile(path, text, "a");
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

void MoveOrCopyFile(const char *verb, const std::string &from, const std::string &to) {
    ShellCommand c;
    ShellCommandBegin(&c, verb);
    ShellCommandWord(&c, NasPath(from.c_str()).c_str());
    ShellCommandWord(&c, NasPath(to.c_str()).c_str());
    ShellCommandRun(&c);
}

void RemoveTree(const std::string &path) {
    ShellCommand c;
    ShellCommandBegin(&c, "rm -rf");
    ShellCommandWord(&c, NasPath(path.c_str()).c_str());
    ShellCommandRun(&c);
}
