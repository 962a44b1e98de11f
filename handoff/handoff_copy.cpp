// handoff_copy.cpp -- n2ncp copies in processes of their own, and kill_n2ncp.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handoff_connection.h"
#include "handoff_files.h"
#include "handoff_history.h"
#include "handoff_store.h"
#include "nas_path.h"
#include "shell_command.h"
#include "text_file.h"

// The copy process's cp, in a process group of its own so that an end
// asked by kill_n2ncp reaches every process of it.
static volatile sig_atomic_t gCopyCancelled = 0;
static volatile pid_t gCopyChild = 0;

static void OnCopyEnd(int) {
    gCopyCancelled = 1;
    if (gCopyChild > 0) kill(-gCopyChild, SIGKILL);
}

// Runs command in sourceFd's folder and waits for it. 1 when it ended with
// status 0 and the copy was not asked to end.
static int RunCopyCommand(const char *command, int sourceFd) {
    if (gCopyCancelled) return 0;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGTERM, SIG_DFL);
        if (fchdir(sourceFd) != 0) _exit(127);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) return 0;
    setpgid(pid, pid);
    gCopyChild = pid;
    if (gCopyCancelled) kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    gCopyChild = 0;
    return !gCopyCancelled && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

// The last component of source, the name the copy takes in its share.
static std::string SourceName(const std::string &source) {
    std::string path = source;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The copy process: copy the checked folder, move it into the final tree and
// record the outcome, notice. A copy that failed or was ended leaves nothing
// in the final share and is recorded "Failed" with notice status 1.
static void RunCopy(HandoffContext *ctx, const HandoffRequest *request, int sourceFd) {
    std::string tmpFolder = TmpShareFolder(&ctx->config, request->filesId);
    ShellCommand c;
    std::string target = NasPath(tmpFolder.c_str()) + "/" + SourceName(request->source);
    BuildShellCommand(&c, "cp -rf", {".", target.c_str()});
    const char *line = ShellCommandLine(&c);
    int copied = line != nullptr && RunCopyCommand(line, sourceFd);
    // A partial copy goes first: it may be what filled the volume.
    if (!copied) RemoveTree(tmpFolder);
    int result = FinishHandOff(&ctx->config, request->filesId, nullptr, copied, 1);
    if (result != FINISH_SUCCESS) RemoveTree(tmpFolder);
    std::vector<unsigned char> notice;
    PacketPutByte(&notice, HANDOFF_COPY_NOTICE);
    PacketPutInt(&notice, result == FINISH_SUCCESS ? HANDOFF_DONE : HANDOFF_REFUSED);
    PacketPutString(&notice, request->filesId);
    SendReply(ctx, notice);
}

static void RememberCopy(HandoffContext *ctx, pid_t pid) {
    for (long &slot : ctx->copies) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void ReapCopies(HandoffContext *ctx) {
    for (long &slot : ctx->copies) {
        if (slot != 0 && waitpid(static_cast<pid_t>(slot), nullptr, WNOHANG) != 0) slot = 0;
    }
}

// Starts the copy process of request with its pending record claimed and
// sends the n2ncp reply. The reply lock is held from before the fork until
// the reply is out, so the copy's notice always comes after it. Returns 0
// once the copy runs, -1 (nothing sent) when the hand-off has no pending
// record free to claim (finished, or a copy runs) or no process could be
// started.
static int StartCopy(HandoffContext *ctx, const HandoffRequest *request, int sourceFd) {
    int lock = HandoffStoreLock(&ctx->config);
    if (lock < 0) return -1;
    std::string text;
    if (ReadTextFile(PendingRecordPath(&ctx->config, request->filesId), &text) != 0 ||
        PendingRecordClaimant(&ctx->config, request->filesId) != 0) {
        HandoffStoreUnlock(lock);
        return -1;
    }
    int ready[2];
    if (pipe(ready) != 0) {
        HandoffStoreUnlock(lock);
        return -1;
    }
    fflush(stdout);
    HandoffReplyLock(ctx);
    pid_t pid = fork();
    if (pid == 0) {
        close(lock);  // the parent's descriptor keeps the lock until it is ready
        close(ready[0]);
        HandoffReplyLockReopen(ctx);
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = OnCopyEnd;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
        signal(SIGALRM, SIG_IGN);
        alarm(0);
        char claimed = ClaimPendingRecord(&ctx->config, request->filesId) == 0 ? 1 : 0;
        ssize_t ignored = write(ready[1], &claimed, 1);
        (void)ignored;
        close(ready[1]);
        if (claimed) RunCopy(ctx, request, sourceFd);
        fflush(stdout);
        _exit(0);
    }
    close(ready[1]);
    char claimed = 0;
    if (pid > 0) {
        while (read(ready[0], &claimed, 1) < 0 && errno == EINTR) {
        }
        RememberCopy(ctx, pid);
    }
    close(ready[0]);
    HandoffStoreUnlock(lock);
    if (claimed) SendStatusReply(ctx, HANDOFF_N2NCP, HANDOFF_DONE);
    HandoffReplyUnlock(ctx);
    return claimed ? 0 : -1;
}

int HandleN2ncp(HandoffContext *ctx, const HandoffRequest *request) {
    if (ctx->connectionState == HANDOFF_NOT_LOGGED_IN) {
        printf("Error: Server State error!\n");
        return SendStatusReply(ctx, HANDOFF_N2NCP, HANDOFF_NOT_ALLOWED);
    }
    int sourceFd = -1;
    if (ctx->config.shareRoot.empty()) {
        printf("Error: Server State error!\n");
    } else if (FilesIdIsSafe(request->filesId, 0) &&
               FolderExists(TmpShareFolder(&ctx->config, request->filesId)) &&
               MayActOn(ctx, request->filesId)) {
        sourceFd = OpenCopySource(request->source);
    }
    int started = sourceFd >= 0 && StartCopy(ctx, request, sourceFd) == 0;
    if (sourceFd >= 0) close(sourceFd);
    if (started) {
        ctx->connectionState = HANDOFF_COPY_STARTED;
        return 0;
    }
    ctx->connectionState = HANDOFF_LOGGED_IN;
    return SendStatusReply(ctx, HANDOFF_N2NCP, HANDOFF_REFUSED);
}

static int IsIdCharacter(char c) { return c != '\0' && strchr(" \t'\"/", c) == nullptr; }

static std::string Word(const std::string &text, size_t *pos) {
    while (*pos < text.size() && text[*pos] == ' ') (*pos)++;
    size_t start = *pos;
    while (*pos < text.size() && text[*pos] != ' ') (*pos)++;
    return text.substr(start, *pos - start);
}

static std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// 1 when the command line (ps's args) runs cp or mv, directly or through sh -c.
static int IsCopyCommand(const std::string &args) {
    size_t pos = 0;
    std::string verb = BaseName(Word(args, &pos));
    if (verb == "sh" && Word(args, &pos) == "-c") verb = BaseName(Word(args, &pos));
    return verb == "cp" || verb == "mv";
}

std::vector<long> CopyPidsInListing(const std::vector<std::string> &lines,
                                    const std::string &filesId, long ownPid) {
    std::vector<long> pids;
    std::string needle = std::string(kHandoffMarker) + filesId;
    for (const std::string &line : lines) {
        size_t pos = 0;
        std::string pidText = Word(line, &pos);
        if (pidText.size() < 2 || pidText.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string args = line.substr(pos < line.size() ? pos + 1 : pos);
        if (!IsCopyCommand(args)) continue;
        int match = 0;
        for (size_t at = args.find(needle); at != std::string::npos;
             at = args.find(needle, at + 1)) {
            size_t after = at + needle.size();
            if (after >= args.size() || !IsIdCharacter(args[after])) match = 1;
        }
        long pid = atol(pidText.c_str());
        if (match && pid > 1 && pid != ownPid) pids.push_back(pid);
    }
    return pids;
}

static int OnPsLine(void *context, const char *line, size_t length) {
    std::string text(line, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    static_cast<std::vector<std::string> *>(context)->push_back(text);
    return 0;
}

int HandleKillN2ncp(HandoffContext *ctx, const HandoffRequest *request) {
    if (ctx->connectionState == HANDOFF_NOT_LOGGED_IN) {
        printf("Error: Server State error!\n");
        return SendStatusReply(ctx, HANDOFF_KILL_N2NCP, HANDOFF_NOT_ALLOWED);
    }
    ctx->connectionState = HANDOFF_LOGGED_IN;
    if (!FilesIdIsSafe(request->filesId, 0) || !MayActOn(ctx, request->filesId))
        return SendStatusReply(ctx, HANDOFF_KILL_N2NCP, HANDOFF_REFUSED);
    // The copy process itself is asked to end: it ends its cp, records the
    // copy "Failed" and sends its notice with status 1.
    long copier =
        ctx->config.shareRoot.empty() ? 0 : PendingRecordClaimant(&ctx->config, request->filesId);
    if (copier > 1) kill(static_cast<pid_t>(copier), SIGTERM);
    ShellCommand c;
    ShellCommandBegin(&c, "ps -ww -e -o pid= -o args=");
    std::vector<std::string> lines;
    if (ShellCommandReadLines(&c, OnPsLine, &lines) < 0) {
        printf("Read: %s\n", strerror(errno));
        return SendStatusReply(ctx, HANDOFF_KILL_N2NCP, HANDOFF_REFUSED);
    }
    for (long pid : CopyPidsInListing(lines, request->filesId, getpid())) {
        BuildShellCommand(&c, "kill -9", {std::to_string(pid).c_str()});
        ShellCommandRun(&c);
    }
    return SendStatusReply(ctx, HANDOFF_KILL_N2NCP, HANDOFF_DONE);
}
