// event_programs.cpp -- starting the appliance's programs, and the one process listing of a run.
//
// Programs are started directly (fork and exec through PATH), with no shell
// between: every argument, a download name or a mail address included,
// reaches the program as one unchanged word, and a run starts one process
// per program instead of a shell and its pipeline. Chores that only read or
// write files are done in this program, never by starting one.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orlinda.h"

// The longest single argument the kernel passes to a program (32 pages).
enum { kArgumentLimit = 32 * 4096 };

// true when argv can be passed to a program: each argument and the whole
// list within the system's limits.
static bool ArgumentsFit(const std::vector<std::string> &argv, size_t *total) {
    long systemLimit = sysconf(_SC_ARG_MAX);
    if (systemLimit <= 0) systemLimit = 128 * 1024;
    *total = 0;
    bool fit = true;
    for (const std::string &arg : argv) {
        if (arg.size() + 1 > kArgumentLimit) fit = false;
        *total += arg.size() + 1 + sizeof(char *);
    }
    // The environment shares the room; keep a quarter of it for that.
    return fit && *total <= static_cast<size_t>(systemLimit) / 4 * 3;
}

// fork and exec of argv with stdout on outFd (when >= 0). Returns the pid or -1.
static pid_t StartChild(const std::vector<std::string> &argv, int outFd) {
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) {
            dup2(outFd, STDOUT_FILENO);
            close(outFd);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

static int WaitChild(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::vector<std::string> &argv, bool wait) {
    size_t total = 0;
    if (argv.empty()) return -1;
    if (!ArgumentsFit(argv, &total)) {
        printf("orlinda: %s not started: its command of %zu bytes is too long\n", argv[0].c_str(),
               total);
        return -2;
    }
    pid_t pid = StartChild(argv, -1);
    if (pid < 0) return -1;
    return wait ? WaitChild(pid) : 0;
}

int ReadProgramLines(const std::vector<std::string> &argv,
                     void (*onLine)(void *context, const std::string &line), void *context) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    pid_t pid = StartChild(argv, pipeFds[1]);
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return -1;
    }
    FILE *in = fdopen(pipeFds[0], "r");
    if (in == nullptr) {
        close(pipeFds[0]);
        WaitChild(pid);
        return -1;
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, in)) >= 0) {
        if (length > 0 && line[length - 1] == '\n') length--;
        onLine(context, std::string(line, static_cast<size_t>(length)));
    }
    free(line);
    fclose(in);
    return WaitChild(pid);
}

static void KeepListingLine(void *context, const std::string &line) {
    static_cast<ProcessListing *>(context)->lines.push_back(line);
}

int ProcessMissing(EventRun *run, const char *name, int lineChars) {
    ProcessListing *listing = &run->processes;
    if (listing->state == 0) {
        int status = ReadProgramLines({"ps"}, KeepListingLine, listing);
        // A listing without a line (no ps, or one that printed nothing) says
        // nothing about the daemons: they count as running, as an unreadable
        // test file did.
        listing->state = status < 0 || listing->lines.empty() ? -1 : 1;
    }
    if (listing->state < 0) return -1;
    // The pipe's grep lists its own process after any older daemon process;
    // the first line naming the daemon decides, as its first line did.
    for (const std::string &line : listing->lines) {
        if (line.find(name) == std::string::npos) continue;
        std::string head = line.substr(0, static_cast<size_t>(lineChars));
        return head.find("grep") != std::string::npos ? 1 : 0;
    }
    return 1;
}

int MusicServerMissing(EventRun *run, int lineChars) {
    return ProcessMissing(run, "mt-daapd", lineChars);
}
