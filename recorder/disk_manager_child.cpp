// disk_manager_child.cpp -- starting, reaping and restarting tarsel.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#include "logging.h"
#include "recorder.h"

// The tarsel executable beside vidula's own: the link /proc/<pid>/exe with
// its file name replaced. Returns 0, or 1 when the link cannot be read.
static int TarselPath(char *out, size_t outSize) {
    char link[64];
    snprintf(link, sizeof(link), "/proc/%i/exe", static_cast<int>(gLogging.ownPid));
    char exe[PATH_MAX];
    ssize_t n = readlink(link, exe, sizeof(exe) - 1);
    if (n <= 0) return 1;
    exe[n] = '\0';
    char *slash = strrchr(exe, '/');
    size_t dirLength = slash != nullptr ? static_cast<size_t>(slash - exe + 1) : 0;
    int written = snprintf(out, outSize, "%.*starsel", static_cast<int>(dirLength), exe);
    return (written < 0 || static_cast<size_t>(written) >= outSize) ? 1 : 0;
}

int StartDiskManager(RecorderContext *pCtx) {
    if (pCtx->diskManagerPid != -1) return 1;
    // Everything the child needs is prepared here: after vfork the child may
    // only exec or exit.
    char path[PATH_MAX];
    bool havePath = TarselPath(path, sizeof(path)) == 0;
    const char *argv[6];
    int argc = 0;
    argv[argc++] = "TARSEL";
    if (gLogging.verbose) argv[argc++] = "-v";
    argv[argc++] = "-c";
    argv[argc++] = pCtx->pConfig->configPath;
    argv[argc] = nullptr;
    static const char kExecFailed[] = "Fail to execute TARSEL\n";

    // tarsel starts with vidula's requests blocked and takes them once its
    // handlers are in place; a SIGUSR1 sent at once would otherwise end it.
    sigset_t requests, old;
    sigemptyset(&requests);
    for (int sig : {SIGUSR1, SIGHUP, SIGTERM, SIGINT}) sigaddset(&requests, sig);
    // The child reports a failed exec through a pipe that the exec closes:
    // a tarsel that cannot run is a failed start, not a child that ends.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) report[0] = report[1] = -1;
    sigprocmask(SIG_BLOCK, &requests, &old);
    pid_t pid = vfork();
    if (pid != 0) sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid == 0) {
        if (havePath) execv(path, const_cast<char *const *>(argv));
        (void)!write(STDOUT_FILENO, kExecFailed, sizeof(kExecFailed) - 1);
        if (report[1] != -1) (void)!write(report[1], "x", 1);
        _exit(1);
    }
    if (report[1] != -1) close(report[1]);
    bool execFailed = false;
    if (report[0] != -1) {
        char byte;
        ssize_t n;
        while ((n = read(report[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        execFailed = n == 1;
        close(report[0]);
    }
    pCtx->diskManagerPid = pid;
    if (pid == -1) {
        LogError("Fail to fork process. Please check if system memory is full.");
        return -1;
    }
    if (execFailed) {
        LogError("Fail to execute TARSEL");
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pCtx->diskManagerPid = -1;
        return -1;
    }
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Execute TARSEL as pid (%d)", static_cast<int>(pid));
    return 0;
}

pid_t ReapChild() {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED | WCONTINUED);
    if (pid < 0) {
        LogError("Fail to wait child process");
        return -1;
    }
    if (pid == 0) {
        LogInfo("Receive SIGCHLD noise");
        return -1;
    }
    int id = static_cast<int>(pid);
    if (WIFEXITED(status)) {
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Child process (%d) is terminated normally", id);
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Child process (%d) exit status is (%d)", id,
                 WEXITSTATUS(status));
        return pid;
    }
    if (WIFSIGNALED(status)) {
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Child process (%d) is terminated by (%d) signal%s", id,
                 WTERMSIG(status), WCOREDUMP(status) ? " with core dump" : "");
        return pid;
    }
    if (WIFSTOPPED(status)) {
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Child process (%d) is stopped by (%d) signal", id,
                 WSTOPSIG(status));
        return -1;
    }
    if (WIFCONTINUED(status)) {
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Child process (%d) is continued by SIGCONT signal", id);
    }
    return -1;
}
