// handoff_reply.cpp -- writing replies whole, with a bounded number of repeats.
//
// A connection process and its copy processes write the same socket. Each
// holds a flock of its own on one anonymous file of the connection for the
// whole of a reply (every record of a history) or a notice, so their bytes
// never interleave; a process that dies gives the lock back with it.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "handoff_connection.h"

void HandoffReplyLockOpen(HandoffContext *ctx) {
    ctx->replyLockDepth = 0;
    ctx->replyLockFd = memfd_create("parcelod-reply", MFD_CLOEXEC);
}

void HandoffReplyLockReopen(HandoffContext *ctx) {
    if (ctx->replyLockFd < 0) return;
    // A new open of the same file is a lock of its own; the inherited
    // descriptor would share the parent's.
    std::string self = "/proc/self/fd/" + std::to_string(ctx->replyLockFd);
    int fd = open(self.c_str(), O_RDWR | O_CLOEXEC);
    close(ctx->replyLockFd);
    ctx->replyLockFd = fd;
    ctx->replyLockDepth = 0;
}

void HandoffReplyLock(HandoffContext *ctx) {
    if (ctx->replyLockFd < 0 || ctx->replyLockDepth++ > 0) return;
    while (flock(ctx->replyLockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void HandoffReplyUnlock(HandoffContext *ctx) {
    if (ctx->replyLockFd < 0 || --ctx->replyLockDepth > 0) return;
    flock(ctx->replyLockFd, LOCK_UN);
}

int SendPacket(HandoffContext *ctx, const std::vector<unsigned char> &packet, int *retries) {
    HandoffReplyLock(ctx);
    size_t done = 0;
    int result = 0;
    while (done < packet.size()) {
        ssize_t n = send(ctx->sock, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (*retries <= 0) {
            result = -1;
            break;
        }
        (*retries)--;
        sleep(ctx->retrySeconds);
    }
    HandoffReplyUnlock(ctx);
    return result;
}

int SendReply(HandoffContext *ctx, const std::vector<unsigned char> &packet) {
    int retries = kHandoffWriteRetries;
    return SendPacket(ctx, packet, &retries);
}

int SendStatusReply(HandoffContext *ctx, int code, uint32_t status) {
    std::vector<unsigned char> packet;
    PacketPutByte(&packet, code | kHandoffReplyBit);
    PacketPutInt(&packet, status);
    return SendReply(ctx, packet);
}
