// A libFuzzer target for the camera stream parser: arbitrary camera bytes,
// split into arbitrary reads, with live clients holding frames in between.
//
// Input: byte 0 picks the buffer size, byte 1 the read size limit; then
// records of two bytes (flags, length) and length bytes of camera data.
// Flag bit 0 makes a client take the newest frame or release the one it
// holds; bit 1 reconnects a closed camera. The parser must keep every
// position inside its buffer and hand out only images that lie inside it.
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "camera.h"
#include "camera_test_stubs.h"
#include "logging.h"

namespace {

int peer = -1;

void Check(bool ok) {
    if (!ok) abort();
}

void CheckPool(const RecorderContext &ctx) {
    const FrameBufferPool &pool = ctx.frameBuffer;
    Check(pool.fillLevel >= 0 && pool.fillLevel <= pool.bufferSize);
    Check(pool.parsePos >= 0 && pool.parsePos <= pool.fillLevel);
    Check(pool.receiveIndex >= -1 && pool.receiveIndex < FRAME_BUFFER_COUNT);
    Check(memchr(ctx.camera.boundary, '\0', sizeof(ctx.camera.boundary)) != nullptr);
    for (const FrameRecord &frame : pool.frames) {
        if (frame.sequence == 0) continue;
        Check(frame.data != nullptr && frame.partStart >= 0 && frame.partLength >= 2);
        Check(static_cast<int64_t>(frame.partStart) + frame.partLength <= pool.bufferSize + 2);
        Check(memcmp(frame.data + frame.partStart + frame.partLength - 2, "\r\n", 2) == 0);
    }
}

void Connect(RecorderContext *ctx) {
    int fds[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    if (peer >= 0) close(peer);
    peer = fds[1];
    ctx->connection[0].fd = fds[0];
    ctx->connection[0].events = POLLIN;
    ctx->camera.cameraState = IPCAM_STATE_CHECK_STATUS;
    GetNextReceiveFrameBuffer(&ctx->frameBuffer, -1);
}

// Main-loop passes while the camera socket is readable.
void Serve(RecorderContext *ctx) {
    for (int pass = 0; pass < 1 << 16 && ctx->connection[0].fd != -1; pass++) {
        struct pollfd p = {ctx->connection[0].fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) break;
        ctx->connection[0].revents = p.revents;
        HandleCameraEvent(ctx, 0);  // reads at least one byte, or closes
        CheckPool(*ctx);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = (InitLogging("VIDULA"), true);
    (void)once;
    if (size < 2) return 0;
    TestRecorder rec(16 + (data[0] * 23) % 4000);
    rec.config.nvr_max_read_size = data[1] < 128 ? data[1] : 0;
    Connect(&rec.ctx);
    int held = -1;
    for (size_t at = 2; at + 2 <= size;) {
        uint8_t flags = data[at];
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        if (flags & 1) {
            if (held >= 0) {
                FinishSendingFrame(&rec.ctx.frameBuffer, held);
                held = -1;
            } else {
                held = GetNextSendFrameBuffer(&rec.ctx.frameBuffer, 0);
                Check(held == -1 || rec.ctx.frameBuffer.frames[held].sequence != 0);
            }
        }
        if ((flags & 2) && rec.ctx.connection[0].fd == -1) Connect(&rec.ctx);
        if (rec.ctx.connection[0].fd != -1 && length > 0) {
            Check(write(peer, data + at, length) == static_cast<ssize_t>(length));
            Serve(&rec.ctx);
        }
        at += length;
    }
    if (held >= 0) FinishSendingFrame(&rec.ctx.frameBuffer, held);
    if (peer >= 0) close(peer);
    peer = -1;
    return 0;
}
