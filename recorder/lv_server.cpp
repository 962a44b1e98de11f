// lv_server.cpp -- the live video server's listening socket: start, stop,
// accepting viewers into the five entries, and the events they wait for.
#include "lv_server.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "logging.h"
#include "program_options.h"

static bool IsClientIndex(const RecorderContext *pCtx, int index) {
    return index > pCtx->lvServerIndex && index <= pCtx->lvServerIndex + LV_CLIENT_COUNT &&
           index < CONNECTION_COUNT;
}

static LvClient *ClientOf(RecorderContext *pCtx, int index) {
    return &pCtx->lvServer.lvClient[index - pCtx->lvServerIndex - 1];
}

static void CloseListener(RecorderContext *pCtx) {
    struct pollfd *entry = &pCtx->connection[pCtx->lvServerIndex];
    if (entry->fd != -1) close(entry->fd);
    entry->fd = -1;
    entry->events = 0;
    entry->revents = 0;
}

// 0, or 1 with the operation's message logged.
static int SetNonBlocking(int fd, const char *getFailure, const char *setFailure) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        LogError("%s", getFailure);
        return 1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        LogError("%s", setFailure);
        return 1;
    }
    return 0;
}

int CloseLvClient(RecorderContext *pCtx, int index) {
    if (pCtx == nullptr || !IsClientIndex(pCtx, index)) return 1;
    struct pollfd *entry = &pCtx->connection[index];
    LvClient *client = ClientOf(pCtx, index);
    if (entry->fd != -1) close(entry->fd);
    entry->fd = -1;
    entry->events = 0;
    entry->revents = 0;
    if (client->frameIndex != -1) {
        FinishSendingFrame(&pCtx->frameBuffer, client->frameIndex);
        client->frameIndex = -1;
    }
    client->sentBytes = 0;
    return 0;
}

int CloseLvStreamingClients(RecorderContext *pCtx) {
    int closed = 0;
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = pCtx->lvServerIndex + 1 + k;
        if (pCtx->connection[index].fd == -1 ||
            pCtx->lvServer.lvClient[k].state != LV_STATE_STREAMING) {
            continue;
        }
        CloseLvClient(pCtx, index);
        closed++;
    }
    if (closed > 0) {
        LogEvent(LOG_CONSOLE | LOG_QUEUE,
                 "The camera's multipart boundary changed; %d live video client(s) of the old "
                 "stream closed.",
                 closed);
    }
    return closed;
}

int StopLvServer(RecorderContext *pCtx) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in StopLvServer()");
        return 1;
    }
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = pCtx->lvServerIndex + 1 + k;
        if (pCtx->connection[index].fd != -1) CloseLvClient(pCtx, index);
    }
    CloseListener(pCtx);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Live video server is stopped.");
    return 0;
}

// Binds the new socket to any local IPv4 address at port and listens.
static int BindAndListen(int fd, int port) {
    // A restarted server must not wait for the connections of its previous
    // run to leave TIME_WAIT; a port another program listens on still fails.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
        if (errno == EADDRINUSE) {
            LogError("Fail to bind port (%d) for live video server. The address is already used.",
                     port);
        } else {
            LogError("Fail to bind port (%d) for live video server.", port);
        }
        return 1;
    }
    if (listen(fd, LV_LISTEN_BACKLOG) != 0) {
        if (errno == EADDRINUSE) {
            LogError("Fail to listen on port (%d) for live video server. The port is already used.",
                     port);
        } else {
            LogError("Fail to listen on port (%d) for live video server.", port);
        }
        return 1;
    }
    return 0;
}

void LvServerTimingFromEnvironment(LvServer *server) {
    server->retrySeconds =
        SecondsFromEnvironment("VIDULA_LV_RETRY_SECONDS", LV_SERVER_RETRY_SECONDS);
    server->stallSeconds = SecondsFromEnvironment("VIDULA_LV_STALL_SECONDS", LV_STALL_SECONDS);
}

int StartLvServer(RecorderContext *pCtx) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in StartLvServer()");
        return 1;
    }
    if (pCtx->pConfig == nullptr) {
        LogError("null pointer pConfig in StartLvServer()");
        return 1;
    }
    int port = pCtx->pConfig->lvs_server_port;
    if (port == 0) return 0;
    struct pollfd *entry = &pCtx->connection[pCtx->lvServerIndex];
    if (entry->fd != -1) {
        LogError("trying to start live video server before stopping previous live video server");
        StopLvServer(pCtx);
    }

    // Close-on-exec: tarsel, started by exec, must not keep the port or a
    // viewer's connection open after vidula has closed it.
    entry->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    entry->events = POLLIN;
    entry->revents = 0;
    if (entry->fd == -1) {
        LogError("fail to create socket for live video server");
        return 1;
    }
    if (SetNonBlocking(entry->fd, "fail to get socket flags in StartLvServer()",
                       "fail to set socket flags in StartLvServer()") != 0) {
        CloseListener(pCtx);
        return 1;
    }
    if (BindAndListen(entry->fd, port) != 0) return 1;

    // Viewers still connected when a poll error closed the listener keep
    // their entries and go on watching; free entries are already -1.
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Live video server is started successfully.");
    return 0;
}

// The first free viewer entry; when all are taken, the entry of a viewer that
// has not completed its request within the time-out (closed here); else -1.
static int FindFreeClientEntry(RecorderContext *pCtx) {
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = pCtx->lvServerIndex + 1 + k;
        if (pCtx->connection[index].fd == -1) return index;
    }
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = pCtx->lvServerIndex + 1 + k;
        const LvClient &client = pCtx->lvServer.lvClient[k];
        if (client.state < LV_STATE_SEND_RESPONSE &&
            pCtx->now.tv_sec - client.acceptedAt > LV_REQUEST_TIMEOUT_SECONDS) {
            LogError("Live video client(%s:%d) sent no request within %d seconds", client.address,
                     client.port, LV_REQUEST_TIMEOUT_SECONDS);
            CloseLvClient(pCtx, index);
            return index;
        }
    }
    return -1;
}

int AcceptLvClient(RecorderContext *pCtx, int index) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in AcceptLvClient()");
        return 1;
    }
    if (index != pCtx->lvServerIndex) return 1;
    struct pollfd *listener = &pCtx->connection[index];
    short events = listener->revents;
    listener->revents = 0;
    if (listener->fd == -1) return 1;
    if (events & (POLLERR | POLLHUP | POLLNVAL)) {
        LogError("Live video server report %s", (events & POLLERR)   ? "POLLERR"
                                                : (events & POLLHUP) ? "POLLHUP"
                                                                     : "POLLNVAL");
        CloseListener(pCtx);
        LogEvent(LOG_CONSOLE | LOG_QUEUE, "Live video server stop accepting new connection.");
        return 1;
    }
    if (!(events & POLLIN)) return 1;

    struct sockaddr_in peer;
    socklen_t peerLength = sizeof(peer);
    int fd = accept4(listener->fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLength,
                     SOCK_CLOEXEC);
    if (fd == -1) {
        if (errno == EMFILE || errno == ENFILE) {
            // The connection stays queued; accepting again at once would
            // only fail again at every pass. PrepareLvClientEvents listens
            // again once a descriptor is free.
            if (!pCtx->lvServer.acceptPaused) {
                LogError(
                    "Fail to accept live video client connection request: %s; accepting "
                    "is paused until a descriptor is free",
                    strerror(errno));
            }
            pCtx->lvServer.acceptPaused = 1;
            listener->events = 0;
            return 1;
        }
        LogError("Fail to accept live video client connection request");
        return 1;
    }
    // A viewer whose peer vanished (no FIN) is found out by the system.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    int entryIndex = FindFreeClientEntry(pCtx);
    if (entryIndex == -1) {
        LogError("Reject a live video client connection request, but the connection pool is full.");
        close(fd);
        return 1;
    }
    struct pollfd *entry = &pCtx->connection[entryIndex];
    entry->fd = fd;
    entry->revents = 0;
    if (SetNonBlocking(fd, "fail to get socket flags in AcceptLvClient()",
                       "fail to set socket flags in AcceptLvClient()") != 0) {
        close(fd);
        entry->fd = -1;
        return 1;
    }
    entry->events = POLLIN;

    LvClient *client = ClientOf(pCtx, entryIndex);
    const unsigned char *ip = reinterpret_cast<const unsigned char *>(&peer.sin_addr.s_addr);
    client->state = LV_STATE_NEW;
    client->lastSentSequence = 0;
    snprintf(client->address, sizeof(client->address), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    client->port = ntohs(peer.sin_port);
    client->frameIndex = -1;
    client->sentBytes = 0;
    client->acceptedAt = pCtx->now.tv_sec;
    client->lastTaken = pCtx->now.tv_sec;
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Accept a live video client(%s:%d) connection request.",
             client->address, client->port);
    return 0;
}

// Whether the pool holds a frame newer than `last`, by the pool's own rule;
// the claim taken to find out is given back at once.
static bool HasNewerFrame(FrameBufferPool *pFB, uint32_t last) {
    if (pFB->lastSequence == 0 || pFB->lastSequence == last) return false;
    int index = GetNextSendFrameBuffer(pFB, last);
    if (index == -1) return false;
    FinishSendingFrame(pFB, index);
    return true;
}

// Accepting was paused for want of descriptors: listen again once one is
// free (a probe descriptor can be made).
static void ResumeAccepting(RecorderContext *pCtx) {
    struct pollfd *listener = &pCtx->connection[pCtx->lvServerIndex];
    if (!pCtx->lvServer.acceptPaused || listener->fd == -1) {
        pCtx->lvServer.acceptPaused = 0;
        return;
    }
    int probe = fcntl(listener->fd, F_DUPFD_CLOEXEC, 0);
    if (probe == -1) return;
    close(probe);
    pCtx->lvServer.acceptPaused = 0;
    listener->events = POLLIN;
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Live video server accepts connections again.");
}

void PrepareLvClientEvents(RecorderContext *pCtx) {
    if (pCtx == nullptr) return;
    ResumeAccepting(pCtx);
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = pCtx->lvServerIndex + 1 + k;
        struct pollfd *entry = &pCtx->connection[index];
        if (entry->fd == -1) continue;
        LvClient &client = pCtx->lvServer.lvClient[k];
        if (client.state < LV_STATE_SEND_RESPONSE) {
            entry->events = POLLIN;
        } else if (client.state == LV_STATE_SEND_RESPONSE) {
            entry->events = pCtx->camera.boundary[0] != '\0' ? POLLOUT : 0;
        } else if (client.frameIndex != -1 ||
                   HasNewerFrame(&pCtx->frameBuffer, client.lastSentSequence)) {
            // Something waits for the viewer; one that takes nothing of it
            // for stallSeconds is gone for good.
            if (pCtx->now.tv_sec - client.lastTaken > pCtx->lvServer.stallSeconds) {
                LogError("Live video client(%s:%d) took nothing for %d seconds; closed",
                         client.address, client.port, pCtx->lvServer.stallSeconds);
                CloseLvClient(pCtx, index);
                continue;
            }
            entry->events = POLLOUT;
        } else {
            client.lastTaken = pCtx->now.tv_sec;  // nothing to send: not stalled
            entry->events = 0;
        }
    }
}
