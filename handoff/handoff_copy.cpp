// handoff_copy.cpp -- n2ncp copies in processes of their own, and kill_n2ncp.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "handoff_connection.h"
#include "handoff_files.h"
#include "handoff_history.h"
#include "nas_path.h"
#include "shell_command.h"

// The copy process: reply, copy, move into the final tree, finish the record,
// notice. The temporary folder replaces the empty final folder of its id.
static void RunCopy(HandoffContext *ctx, const HandoffRequest *request) {
    SendStatusReply(ctx, HANDOFF_N2NCP, HANDOFF_DONE);
    std::string tmpFolder = TmpShareFolder(&ctx->config, request->filesId);
    ShellCommand c;
    BuildShellCommand(
        &c, "cp -rf",
        {NasPath(request->source.c_str()).c_str(), NasPath(tmpFolder.c_str()).c_str()});
    ShellCommandRun(&c);
    BuildShellCommand(&c, "mv",
                      {NasPath(tmpFolder.c_str()).c_str(),
                       NasPath(FinalShareTree(&ctx->config).c_str()).c_str()});
    ShellCommandRun(&c);
    FinishRecord(&ctx->config, request->filesId, "Success");
    std::vector<unsigned char> notice;
    PacketPutByte(&notice, HANDOFF_COPY_NOTICE);
    PacketPutInt(&notice, HANDOFF_DONE);
    PacketPutString(&notice, request->filesId);
    SendReply(ctx, notice);
}

int HandleN2ncp(HandoffContext *ctx, const HandoffRequest *request) {
    if (ctx->connectionState == HANDOFF_NOT_LOGGED_IN) {
        printf("Error: Server State error!\n");
        return SendStatusReply(ctx, HANDOFF_N2NCP, HANDOFF_NOT_ALLOWED);
    }
    int refused = 0;
    if (ctx->config.shareRoot.empty()) {
        printf("Error: Server State error!\n");
        refused = 1;
    } else if (!FilesIdIsSafe(request->filesId, 0) ||
               !FolderExists(TmpShareFolder(&ctx->config, request->filesId)) ||
               !CopySourceIsAllowed(request->source)) {
        refused = 1;
    }
    if (!refused) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            RunCopy(ctx, request);
            fflush(stdout);
            _exit(0);
        }
        if (pid > 0) {
            ctx->connectionState = HANDOFF_COPY_STARTED;
            return 0;
        }
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
    if (!FilesIdIsSafe(request->filesId, 0))
        return SendStatusReply(ctx, HANDOFF_KILL_N2NCP, HANDOFF_REFUSED);
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
