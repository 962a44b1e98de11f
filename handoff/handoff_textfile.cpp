// handoff_textfile.cpp -- whole-file reads and writes and the shell chores on them.
#include "handoff_textfile.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "nas_path.h"
#include "shell_command.h"

int WriteTextFile(const std::string &path, const std::string &text) {
    FILE *out = fopen(NasPath(path.c_str()).c_str(), "w");
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
