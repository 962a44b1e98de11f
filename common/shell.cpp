// shell.cpp -- shell command runner, the one quoting function, and the
// reading of a command's output line by line.
#include "shell.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <string>

int ShellQuote(char *out, size_t outSize, const char *text) {
    if (out == nullptr || outSize == 0) return 1;
    if (text == nullptr) text = "";
    size_t n = 0;
    auto put = [&](const char *s, size_t len) {
        if (n + len >= outSize) return false;
        memcpy(out + n, s, len);
        n += len;
        return true;
    };
    bool ok = put("'", 1);
    for (const char *c = text; ok && *c != '\0'; c++) {
        ok = (*c == '\'') ? put("'\\''", 4) : put(c, 1);
    }
    ok = ok && put("'", 1);
    if (!ok) {
        out[0] = '\0';
        return 1;
    }
    out[n] = '\0';
    return 0;
}

static int ExitStatusOf(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

int RunShellCommand(const char *command) {
    if (command == nullptr) return -1;
    fflush(stdout);
    return ExitStatusOf(system(command));
}

FILE *OpenShellOutput(const char *command) {
    if (command == nullptr) return nullptr;
    fflush(stdout);
    return popen(command, "r");
}

int CloseShellOutput(FILE *stream) {
    if (stream == nullptr) return -1;
    return ExitStatusOf(pclose(stream));
}

ssize_t ReadOutputLine(char **line, size_t *capacity, FILE *in) {
    std::string whole;
    char *piece = nullptr;
    size_t pieceCapacity = 0;
    for (;;) {
        errno = 0;
        ssize_t n = getline(&piece, &pieceCapacity, in);
        if (n > 0) whole.append(piece, static_cast<size_t>(n));
        if (n > 0 && piece[n - 1] == '\n') break;
        if (!ferror(in) || errno != EINTR) break;  // the end, or a real error
        clearerr(in);
    }
    free(piece);
    if (whole.empty()) return -1;
    if (*line == nullptr || *capacity < whole.size() + 1) {
        char *grown = static_cast<char *>(realloc(*line, whole.size() + 1));
        if (grown == nullptr) return -1;
        *line = grown;
        *capacity = whole.size() + 1;
    }
    memcpy(*line, whole.data(), whole.size());
    (*line)[whole.size()] = '\0';
    return static_cast<ssize_t>(whole.size());
}

void ReadOutputLines(FILE *in, OutputLineReader takeLine, void *context) {
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t n;
    while ((n = ReadOutputLine(&line, &capacity, in)) >= 0) {
        if (takeLine(context, line, static_cast<size_t>(n)) != 0) break;
    }
    free(line);
}
