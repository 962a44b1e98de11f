// lv_client.cpp -- one live video viewer: its request head, the response
// header, and the frames pushed to it from the pool.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "logging.h"
#include "lv_server.h"

static const char kResponseHead[] =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=";

static bool Contains(const char *text, size_t length, const char *word) {
    return memmem(text, length, word, strlen(word)) != nullptr;
}

static bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// In verbose mode, the request as read, with every byte that could steer a
// terminal (controls other than LF and TAB, bytes above 0x7e) shown as '.'.
static void EchoRequest(const char *text, size_t length) {
    if (!gLogging.verbose) return;
    char shown[LV_REQUEST_READ_SIZE + 1];
    size_t n = 0;
    for (size_t i = 0; i < length && n < LV_REQUEST_READ_SIZE; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') continue;
        shown[n++] =
            (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7f)) ? static_cast<char>(c) : '.';
    }
    shown[n] = '\0';
    PrintConsole("%s\n", shown);
}

static void PrintProgress(const char *mark) {
    if (gLogging.verbose) PrintConsole("%s", mark);
}

// A new viewer: the whole request head in one read.
static int ReadRequest(RecorderContext *pCtx, int index, LvClient *client) {
    char text[LV_REQUEST_READ_SIZE];
    ssize_t got = read(pCtx->connection[index].fd, text, sizeof(text));
    if (got == 0) {
        LogError("Live video client closes connection");
        CloseLvClient(pCtx, index);
        return 1;
    }
    if (got < 0) {
        if (WouldBlock(errno)) return 0;  // nothing there after all; wait for the next event
        LogError("Fail to read live video client(%s:%d) request: %s", client->address, client->port,
                 strerror(errno));
        CloseLvClient(pCtx, index);
        return 1;
    }
    size_t length = static_cast<size_t>(got);
    EchoRequest(text, length);

    if (client->state == LV_STATE_NEW) {
        if (!Contains(text, length, "HTTP/")) {
            LogError("Live video client(%s:%d) request is not HTTP", client->address, client->port);
            CloseLvClient(pCtx, index);
            return 1;
        }
        if (!Contains(text, length, "GET /axis-cgi/mjpg/video.cgi?") &&
            !Contains(text, length, "GET /mjpg/video.mjpg")) {
            LogError("Get invalid live video client(%s:%d) request", client->address, client->port);
            CloseLvClient(pCtx, index);
            return 1;
        }
        client->state = LV_STATE_HEADERS;  // query and other headers are ignored
    }
    if (!Contains(text, length, "\r\n\r\n")) {
        LogError("Live video client(%s:%d) request is not HTTP or incomplete", client->address,
                 client->port);
        CloseLvClient(pCtx, index);
        return 1;
    }
    client->state = LV_STATE_SEND_RESPONSE;
    pCtx->connection[index].events = POLLOUT;  // nothing more is read from the viewer
    return 0;
}

// The response header, written once.
static int SendResponse(RecorderContext *pCtx, int index, LvClient *client) {
    char header[sizeof(kResponseHead) + BOUNDARY_SIZE + 4];
    int length = snprintf(header, sizeof(header), "%s%.*s\r\n\r\n", kResponseHead,
                          BOUNDARY_SIZE - 1, pCtx->camera.boundary);
    if (gLogging.verbose) PrintConsole("%s", header);
    ssize_t sent =
        send(pCtx->connection[index].fd, header, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 1) {
        int err = errno;
        LogError("Error occur when sending HTTP response code");
        if (sent < 0 && !WouldBlock(err)) {  // the viewer is gone: no later event would help
            CloseLvClient(pCtx, index);
            return 1;
        }
        return 0;
    }
    if (sent < length) {
        LogError("Only send %ld bytes of %ld bytes HTTP response", static_cast<long>(sent),
                 static_cast<long>(length));
        CloseLvClient(pCtx, index);
        return 1;
    }
    client->state = LV_STATE_STREAMING;
    client->lastTaken = pCtx->now.tv_sec;
    return 0;
}

// Gives back the frame the viewer holds.
static void ReleaseFrame(RecorderContext *pCtx, LvClient *client) {
    FinishSendingFrame(&pCtx->frameBuffer, client->frameIndex);
    client->frameIndex = -1;
    client->sentBytes = 0;
}

// A streaming viewer: one write of the current frame, choosing the newest frame first
// when the viewer holds none.
static int SendFrame(RecorderContext *pCtx, int index, LvClient *client) {
    FrameBufferPool *pFB = &pCtx->frameBuffer;
    uint32_t previousSequence = client->lastSentSequence;
    if (client->frameIndex == -1) {
        client->frameIndex = GetNextSendFrameBuffer(pFB, client->lastSentSequence);
        client->sentBytes = 0;
        if (client->frameIndex == -1) return 0;
        client->lastSentSequence = pFB->frames[client->frameIndex].sequence;
    }
    const FrameRecord &frame = pFB->frames[client->frameIndex];
    size_t remaining = static_cast<size_t>(frame.partLength - client->sentBytes);
    const unsigned char *from = frame.data + frame.partStart + client->sentBytes;
    ssize_t sent = send(pCtx->connection[index].fd, from, remaining, MSG_NOSIGNAL);
    if (sent < 0 && !WouldBlock(errno)) {
        LogError("Error occur when sending a frame");
        CloseLvClient(pCtx, index);
        return 1;
    }
    if (sent > 0) client->lastTaken = pCtx->now.tv_sec;
    if (sent > 0 && static_cast<size_t>(sent) == remaining) {
        ReleaseFrame(pCtx, client);
        PrintProgress(">\n");
    } else if (sent > 0) {
        client->sentBytes += static_cast<int>(sent);
        PrintProgress(".");
    } else if (client->sentBytes == 0) {
        // Nothing of this frame went out: the viewer has not been sent it, and
        // the next event chooses again, possibly a newer frame.
        ReleaseFrame(pCtx, client);
        client->lastSentSequence = previousSequence;
    }
    return 0;
}

int HandleLvClientEvent(RecorderContext *pCtx, int index) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in HandleLvClientEvent()");
        return 1;
    }
    int k = index - pCtx->lvServerIndex - 1;
    if (k < 0 || k >= LV_CLIENT_COUNT || index >= CONNECTION_COUNT) return 1;
    struct pollfd *entry = &pCtx->connection[index];
    LvClient *client = &pCtx->lvServer.lvClient[k];
    short events = entry->revents;
    entry->revents = 0;
    if (entry->fd == -1) return 0;
    if (events & POLLERR) {
        LogError("Live video client connection report POLLERR");
        CloseLvClient(pCtx, index);
        return 1;
    }
    if (events & POLLHUP) {
        LogError("Live video client connection report POLLHUP - the client close connection");
        CloseLvClient(pCtx, index);
        return 1;
    }
    if (events & POLLNVAL) {
        LogError("Live video client connection report POLLNVAL");
        CloseLvClient(pCtx, index);
        return 1;
    }
    if (client->state < LV_STATE_SEND_RESPONSE) {
        return (events & POLLIN) ? ReadRequest(pCtx, index, client) : 0;
    }
    if (!(events & POLLOUT)) return 0;
    if (client->state == LV_STATE_SEND_RESPONSE) return SendResponse(pCtx, index, client);
    if (client->state == LV_STATE_STREAMING) return SendFrame(pCtx, index, client);
    return 0;
}
