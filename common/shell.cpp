// shell.cpp -- shell command runner and the one quoting function.
#include "shell.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

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
