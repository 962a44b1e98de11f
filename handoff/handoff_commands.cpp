// handoff_commands.cpp -- the dispatcher and the share, progress and history commands.
#include <stdio.h>
#include <stdlib.h>

#include "handoff_connection.h"
#include "handoff_files.h"
#include "handoff_history.h"
#include "handoff_status.h"
#include "handoff_store.h"
#include "nas_path.h"
#include "shell_command.h"
#include "text_file.h"

void HandoffContextInit(HandoffContext *ctx, const HandoffConfig *config, int sock) {
    ctx->config = *config;
    ctx->sock = sock;
    ctx->connectionState = HANDOFF_NOT_LOGGED_IN;
    ctx->retrySeconds = 30;
    ctx->idleSeconds = 300;
    ctx->account.clear();
    ctx->isAdmin = 0;
    ctx->loginFailures = 0;
    ctx->peer.clear();
    ctx->replyLockFd = -1;
    ctx->replyLockDepth = 0;
    for (long &pid : ctx->copies) pid = 0;
}

int MayActFor(const HandoffContext *ctx, const std::string &owner) {
    return ctx->isAdmin || (!ctx->account.empty() && owner == ctx->account) ? 1 : 0;
}

int MayActOn(const HandoffContext *ctx, const std::string &filesId) {
    if (ctx->isAdmin) return 1;
    std::string owner;
    return HandOffOwner(&ctx->config, filesId, &owner) && MayActFor(ctx, owner) ? 1 : 0;
}

static int LoggedIn(const HandoffContext *ctx) {
    return ctx->connectionState == HANDOFF_LOGGED_IN ||
           ctx->connectionState == HANDOFF_COPY_STARTED;
}

static int HasVolume(const HandoffContext *ctx) { return !ctx->config.shareRoot.empty(); }

// Texts that go into the record and status files as lines of their own.
static int RecordTextIsSafe(const std::string &text) {
    return text.find_first_of("\n\r") == std::string::npos;
}

// The capacity of a record's section line: a longer name could not be
// charged and given back under one name.
static const size_t kUserNameCapacity = 20;

static int HandleCreateTmpShare(HandoffContext *ctx, const HandoffRequest *q) {
    HandoffLinks links;
    std::string filesId, expiry;
    uint32_t status = HANDOFF_DONE;
    int64_t freeKb = 0;
    if (!LoggedIn(ctx)) {
        status = HANDOFF_NOT_ALLOWED;
    } else if (q->user.empty() || q->user.find_first_of("[]") != std::string::npos ||
               q->user.size() > kUserNameCapacity || !RecordTextIsSafe(q->user) ||
               !RecordTextIsSafe(q->fileName) || !RecordTextIsSafe(q->type)) {
        status = HANDOFF_REFUSED;  // a line end or bracket would forge records
    } else if (!MayActFor(ctx, q->user)) {
        status = HANDOFF_REFUSED;  // an account hands over in its own name only
    } else if ((freeKb = FreeSpace(&ctx->config)) == 0 ||
               !CheckSpaceWithFree(&ctx->config, q->user, q->size, freeKb)) {
        status = HANDOFF_REFUSED;
    } else {
        // The check is made again under the lock that the record, the charge
        // and the folders are made under: others may have charged since.
        Br0Address(&ctx->config.br0Address);
        int created = CreateHandOff(&ctx->config, q->user, q->size, q->fileName, q->type, freeKb,
                                    &filesId, &links, &expiry);
        if (created != 0) status = created == 1 ? HANDOFF_REFUSED : HANDOFF_REFUSED_2;
        if (created == 1) links = HandoffLinks(), filesId.clear(), expiry.clear();
    }
    std::vector<unsigned char> packet;
    PacketPutByte(&packet, HANDOFF_CREATE_TMP_SHARE | kHandoffReplyBit);
    PacketPutInt(&packet, status);
    PacketPutString(&packet, links.tmpNetworkPath);
    PacketPutString(&packet, links.tmpFtpPath);
    PacketPutString(&packet, filesId);
    PacketPutString(&packet, expiry);
    PacketPutString(&packet, links.internetLink);
    PacketPutString(&packet, links.lanLink);
    if (status != HANDOFF_NOT_ALLOWED) ctx->connectionState = HANDOFF_LOGGED_IN;
    return SendReply(ctx, packet);
}

static int OnDuLine(void *context, const char *line, size_t length) {
    static_cast<std::string *>(context)->append(line, length);
    return 0;
}

static int HandleCheckRate(HandoffContext *ctx, const HandoffRequest *q) {
    uint32_t status = HANDOFF_DONE;
    int64_t progress = 0;
    if (!LoggedIn(ctx)) {
        printf("Error: Server State error!\n");
        return SendStatusReply(ctx, HANDOFF_CHECK_N2NCP_RATE, HANDOFF_NOT_ALLOWED);
    }
    if (!HasVolume(ctx) || !FilesIdIsSafe(q->filesId, 0) || !MayActOn(ctx, q->filesId)) {
        status = HANDOFF_REFUSED;
    } else {
        ShellCommand c;
        ShellCommandBegin(&c, "du -sk");
        ShellCommandWord(&c,
                         NasPath((TmpShareFolder(&ctx->config, q->filesId) + "/").c_str()).c_str());
        ShellCommandText(&c, " 2>/dev/null |awk '{printf $1}'");
        std::string out;
        ShellCommandReadLines(&c, OnDuLine, &out);
        int64_t kb = atoll(out.c_str());
        if (kb > kSpaceNumberMax) kb = kSpaceNumberMax;
        progress = kb == 0 ? 10000 : (kb - 4) * 10000 / static_cast<int64_t>(q->totalSize);
        // Hundredths of a percent: a copy larger than announced is done, not past it.
        if (progress < 0) progress = 0;
        if (progress > 10000) progress = 10000;
    }
    std::vector<unsigned char> packet;
    PacketPutByte(&packet, HANDOFF_CHECK_N2NCP_RATE | kHandoffReplyBit);
    PacketPutInt(&packet, status);
    PacketPutInt(&packet, static_cast<uint32_t>(progress));
    return SendReply(ctx, packet);
}

static int HandleReportFinish(HandoffContext *ctx, const HandoffRequest *q) {
    // Files are only touched for a logged-in client and an id that stays in its tree.
    if (!LoggedIn(ctx))
        return SendStatusReply(ctx, HANDOFF_REPORT_W2NCP_FINISH, HANDOFF_NOT_ALLOWED);
    if (!HasVolume(ctx) || !FilesIdIsSafe(q->filesId, 0))
        return SendStatusReply(ctx, HANDOFF_REPORT_W2NCP_FINISH, HANDOFF_REFUSED);
    // The move is made and its result recorded before the reply; a finish
    // that finds no pending record of its own (finished already, or a copy
    // runs) changes nothing.
    int result =
        FinishHandOff(&ctx->config, q->filesId, ctx->isAdmin ? nullptr : &ctx->account, 1, 0);
    return SendStatusReply(ctx, HANDOFF_REPORT_W2NCP_FINISH,
                           result == FINISH_SUCCESS ? HANDOFF_DONE : HANDOFF_REFUSED);
}

static int HandleDeleteTmpShare(HandoffContext *ctx, const HandoffRequest *q) {
    if (!LoggedIn(ctx)) return SendStatusReply(ctx, HANDOFF_DELETE_TMP_SHARE, HANDOFF_NOT_ALLOWED);
    ctx->connectionState = HANDOFF_LOGGED_IN;
    if (!HasVolume(ctx) || !FilesIdIsSafe(q->filesId, 0) || !MayActOn(ctx, q->filesId))
        return SendStatusReply(ctx, HANDOFF_DELETE_TMP_SHARE, HANDOFF_REFUSED);
    RemoveTree(TmpShareFolder(&ctx->config, q->filesId));
    RemoveTree(FinalShareFolder(&ctx->config, q->filesId));
    DropPendingRecord(&ctx->config, q->filesId);
    return SendStatusReply(ctx, HANDOFF_DELETE_TMP_SHARE, HANDOFF_DONE);
}

static int HandleDeleteSharedFiles(HandoffContext *ctx, const HandoffRequest *q) {
    if (!LoggedIn(ctx)) {
        printf("Error: Server State error!\n");
        return SendStatusReply(ctx, HANDOFF_DELETE_SHARED_FILES, HANDOFF_NOT_ALLOWED);
    }
    if (!HasVolume(ctx) || !FilesIdIsSafe(q->filesId, 0) || !MayActOn(ctx, q->filesId))
        return SendStatusReply(ctx, HANDOFF_DELETE_SHARED_FILES, HANDOFF_REFUSED);
    RemoveTree(FinalShareFolder(&ctx->config, q->filesId));
    DropHistoryRecords(&ctx->config, q->filesId, 0, ctx->isAdmin ? nullptr : &ctx->account);
    return SendStatusReply(ctx, HANDOFF_DELETE_SHARED_FILES, HANDOFF_DONE);
}

static void PutRecord(std::vector<unsigned char> *p, const HistoryRecord &r) {
    PacketPutInt(p, 0);
    PacketPutString(p, r.section);
    PacketPutString(p, r.fileName);
    PacketPutString(p, r.type);
    PacketPutInt(p, static_cast<uint32_t>(atoll(r.size.c_str())));
    PacketPutString(p, r.sendTime);
    PacketPutString(p, r.filesId);
    PacketPutString(p, r.internetLink);
    PacketPutString(p, r.lanLink);
    PacketPutString(p, r.expiredTime);
    PacketPutString(p, r.status);
    PacketPutString(p, r.emailPath);
}

static int HandleReadHistory(HandoffContext *ctx, const HandoffRequest *q) {
    if (!LoggedIn(ctx)) {
        printf("Error: Server state error!\n");
        return SendStatusReply(ctx, HANDOFF_READ_HISTORY, HANDOFF_NOT_ALLOWED);
    }
    std::vector<HistoryRecord> records;
    if (!MayActFor(ctx, q->user) || !HasVolume(ctx) ||
        ReadHistoryRecords(&ctx->config, q->user, &records) != 0)
        return SendStatusReply(ctx, HANDOFF_READ_HISTORY, HANDOFF_REFUSED);
    int retries = kHandoffWriteRetries;  // one budget for every write of the reply
    HandoffReplyLock(ctx);               // a copy notice comes before or after, never inside
    int result = 0;
    for (size_t i = 0; i < records.size() && result == 0; i++) {
        std::vector<unsigned char> packet;
        if (i == 0) PacketPutByte(&packet, HANDOFF_READ_HISTORY | kHandoffReplyBit);
        PutRecord(&packet, records[i]);
        result = SendPacket(ctx, packet, &retries);
    }
    if (result == 0) {
        printf("The end of history file!\n");
        std::vector<unsigned char> end;
        if (records.empty()) PacketPutByte(&end, HANDOFF_READ_HISTORY | kHandoffReplyBit);
        PacketPutInt(&end, HANDOFF_REFUSED_2);
        result = SendPacket(ctx, end, &retries);
    }
    HandoffReplyUnlock(ctx);
    return result;
}

static int HandleDeleteHistory(HandoffContext *ctx, const HandoffRequest *q) {
    if (!LoggedIn(ctx)) {
        printf("Error: Server state error!\n");
        return SendStatusReply(ctx, HANDOFF_DELETE_HISTORY, HANDOFF_NOT_ALLOWED);
    }
    int status = HANDOFF_DONE;
    if (!HasVolume(ctx)) {
        printf("Error: Server state error!\n");
        status = HANDOFF_REFUSED;
    } else if (!FilesIdIsSafe(q->filesId, 0)) {
        status = HANDOFF_REFUSED;
    } else {
        // Another account's records and folder stay as they are.
        int mayRemove = MayActOn(ctx, q->filesId);
        int dropped =
            DropHistoryRecords(&ctx->config, q->filesId, 1, ctx->isAdmin ? nullptr : &ctx->account);
        if (dropped == 1) status = HANDOFF_REFUSED;
        if (dropped != 2 && mayRemove) RemoveTree(FinalShareFolder(&ctx->config, q->filesId));
    }
    printf("error: %d\n", status);
    return SendStatusReply(ctx, HANDOFF_DELETE_HISTORY, static_cast<uint32_t>(status));
}

int DispatchHandoffPacket(HandoffContext *ctx, const HandoffHeader *header,
                          const unsigned char *payload, size_t size) {
    if (header->report) {
        printf("Report the n2ncp finish!\n");
        return HANDOFF_GO_ON;
    }
    HandoffRequest q = HandoffRequest();
    int parsed = ParseHandoffRequest(header->code, payload, size, &q);
    if (parsed < 0) {
        printf("Bad packet!\n");
        return HANDOFF_BAD_PACKET;
    }
    if (parsed > 0) {
        printf("%s\n", HandoffBadPacketMessage(header->code));
        return HANDOFF_GO_ON;
    }
    switch (header->code) {
        case HANDOFF_CREATE_CONNECTION:
            HandleCreateConnection(ctx, &q);
            if (ctx->loginFailures >= kHandoffMaxLoginFailures) return HANDOFF_CLOSE;
            break;
        case HANDOFF_CLOSE_CONNECTION:
            SendStatusReply(ctx, HANDOFF_CLOSE_CONNECTION, HANDOFF_DONE);
            return HANDOFF_CLOSE;
        case HANDOFF_CREATE_TMP_SHARE:
            HandleCreateTmpShare(ctx, &q);
            break;
        case HANDOFF_N2NCP:
            HandleN2ncp(ctx, &q);
            break;
        case HANDOFF_KILL_N2NCP:
            HandleKillN2ncp(ctx, &q);
            break;
        case HANDOFF_CHECK_N2NCP_RATE:
            HandleCheckRate(ctx, &q);
            break;
        case HANDOFF_REPORT_W2NCP_FINISH:
            HandleReportFinish(ctx, &q);
            break;
        case HANDOFF_DELETE_TMP_SHARE:
            HandleDeleteTmpShare(ctx, &q);
            break;
        case HANDOFF_DELETE_SHARED_FILES:
            HandleDeleteSharedFiles(ctx, &q);
            break;
        case HANDOFF_READ_HISTORY:
            HandleReadHistory(ctx, &q);
            break;
        case HANDOFF_DELETE_HISTORY:
            HandleDeleteHistory(ctx, &q);
            break;
        case HANDOFF_CHECK_FTP_CODE:
            HandleCheckFtpCode(ctx);
            break;
    }
    return HANDOFF_GO_ON;
}
