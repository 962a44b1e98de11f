// handoff_reply.cpp -- writing replies, with a bounded number of repeats.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "handoff_connection.h"

int SendPacket(HandoffContext *ctx, const std::vector<unsigned char> &packet, int *retries) {
    size_t done = 0;
    while (done < packet.size()) {
        ssize_t n = send(ctx->sock, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (*retries <= 0) return -1;
        (*retries)--;
        sleep(ctx->retrySeconds);
    }
    return 0;
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
