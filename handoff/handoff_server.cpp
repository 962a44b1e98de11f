// handoff_server.cpp -- accepting clients and serving each in a process of its own.
#include "handoff_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "handoff_connection.h"
#include "handoff_packet.h"

static volatile sig_atomic_t gReloadRequested = 0;

static void OnHangup(int) { gReloadRequested = 1; }

void HandoffTimingFromEnvironment(HandoffTiming *timing) {
    timing->idleSeconds = 300;
    timing->retrySeconds = 30;
    const char *idle = getenv("PARCELOD_IDLE_SECONDS");
    const char *retry = getenv("PARCELOD_RETRY_SECONDS");
    if (idle && atoi(idle) > 0) timing->idleSeconds = static_cast<unsigned>(atoi(idle));
    if (retry && atoi(retry) >= 0) timing->retrySeconds = static_cast<unsigned>(atoi(retry));
}

static int Fail(const char *step, int fd) {
    printf("%s: %s\n", step, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
}

int OpenHandoffListener(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return Fail("Create", -1);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        return Fail("Setsockopt", fd);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0)
        return Fail("Bind", fd);
    socklen_t length = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &length) != 0)
        return Fail("Get socket name", fd);
    if (listen(fd, kHandoffBacklog) != 0) return Fail("Listen", fd);
    return fd;
}

static volatile sig_atomic_t gChildEnded = 0;

static void OnChild(int) { gChildEnded = 1; }

// Serves what signals asked for between reads: a reload, ended copies.
static void ServeFlags(HandoffContext *ctx) {
    if (gReloadRequested) {
        gReloadRequested = 0;
        LoadConfiguration(&ctx->config);
    }
    if (gChildEnded) {
        gChildEnded = 0;
        ReapCopies(ctx);
    }
}

// Reads exactly size bytes. Returns 0, or -1 at the end of the stream or on
// an error. Signals that cut a read short are served and the read goes on.
static int ReadExactly(HandoffContext *ctx, unsigned char *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(ctx->sock, buffer + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            ServeFlags(ctx);
            continue;
        }
        return -1;
    }
    return 0;
}

// Reads a payload of length bytes, growing the buffer only as its bytes
// arrive, so an announced length costs nothing until it is sent.
static int ReadPayload(HandoffContext *ctx, std::vector<unsigned char> *payload, size_t length) {
    static const size_t kStep = 64 * 1024;
    payload->clear();
    while (payload->size() < length) {
        size_t have = payload->size();
        size_t more = length - have < kStep ? length - have : kStep;
        payload->resize(have + more);
        if (ReadExactly(ctx, payload->data() + have, more) != 0) return -1;
    }
    return 0;
}

static std::string PeerAddress(int sock) {
    struct sockaddr_in addr;
    socklen_t length = sizeof(addr);
    char text[INET_ADDRSTRLEN] = "?";
    if (getpeername(sock, reinterpret_cast<struct sockaddr *>(&addr), &length) == 0 &&
        addr.sin_family == AF_INET)
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
    return text;
}

void ServeHandoffConnection(const HandoffConfig *config, const HandoffTiming *timing, int sock) {
    HandoffContext ctx;
    HandoffContextInit(&ctx, config, sock);
    ctx.idleSeconds = timing->idleSeconds;
    ctx.retrySeconds = timing->retrySeconds;
    ctx.peer = PeerAddress(sock);
    HandoffReplyLockOpen(&ctx);
    signal(SIGALRM, SIG_DFL);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnChild;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);  // no SA_RESTART: a read returns to reap
    std::vector<unsigned char> payload;
    for (;;) {
        ServeFlags(&ctx);
        // A whole request must arrive within the idle time of its first
        // byte; a client that sends nothing is dropped after it too. The
        // alarm is off while a request is served.
        alarm(ctx.idleSeconds);
        unsigned char head[kHandoffHeaderSize];
        if (ReadExactly(&ctx, head, 1) != 0) break;
        alarm(ctx.idleSeconds);
        if (ReadExactly(&ctx, head + 1, sizeof(head) - 1) != 0) break;
        HandoffHeader header;
        DecodeHandoffHeader(head, &header);
        if (header.length > kHandoffMaxPayload) {
            printf("Bad packet!\n");
            break;
        }
        if (ReadPayload(&ctx, &payload, header.length) != 0) break;
        alarm(0);
        int result = DispatchHandoffPacket(&ctx, &header, payload.data(), payload.size());
        if (result == HANDOFF_CLOSE) break;
        if (result == HANDOFF_BAD_PACKET) {
            printf("Error: Analyse Packet Failed!\n");
            break;
        }
    }
    alarm(0);
    close(sock);
}

// Connection processes of the listener, with their peers' addresses.
struct ListenerChildren {
    std::vector<std::pair<pid_t, uint32_t>> running;
};

static void ReapConnections(ListenerChildren *children) {
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        for (size_t i = 0; i < children->running.size(); i++) {
            if (children->running[i].first == pid) {
                children->running.erase(children->running.begin() + static_cast<long>(i));
                break;
            }
        }
    }
}

// 1 when a new connection from address stays within the limits.
static int WithinLimits(const ListenerChildren *children, uint32_t address) {
    if (children->running.size() >= static_cast<size_t>(kHandoffMaxConnections)) return 0;
    int same = 0;
    for (const auto &child : children->running) same += child.second == address;
    return same < kHandoffMaxPerAddress ? 1 : 0;
}

void RunHandoffListener(HandoffConfig *config, const HandoffTiming *timing, int listenFd) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnHangup;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);  // no SA_RESTART: accept returns to reload
    sa.sa_handler = OnChild;
    sigaction(SIGCHLD, &sa, nullptr);  // ended connections are reaped in the loop
    ListenerChildren children;
    time_t lastRefusalLine = 0;
    for (;;) {
        if (gReloadRequested) {
            gReloadRequested = 0;
            LoadConfiguration(config);
        }
        gChildEnded = 0;
        ReapConnections(&children);
        struct sockaddr_in peer;
        socklen_t peerLength = sizeof(peer);
        memset(&peer, 0, sizeof(peer));
        int sock = accept(listenFd, reinterpret_cast<struct sockaddr *>(&peer), &peerLength);
        if (sock < 0) {
            if (errno != EINTR) printf("Accept: %s\n", strerror(errno));
            if (errno == EMFILE || errno == ENFILE) sleep(1);  // pause instead of spinning
            continue;
        }
        uint32_t address = peer.sin_addr.s_addr;
        ReapConnections(&children);
        if (!WithinLimits(&children, address)) {
            // A flood, not a household: the connection is closed at once,
            // and said so at most once a second.
            time_t now = time(nullptr);
            if (now != lastRefusalLine) {
                printf("Too many connections, refused one from %s!\n", PeerAddress(sock).c_str());
                lastRefusalLine = now;
            }
            close(sock);
            continue;
        }
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            close(listenFd);
            signal(SIGCHLD, SIG_DFL);
            ServeHandoffConnection(config, timing, sock);
            fflush(stdout);
            _exit(0);
        }
        if (pid < 0) {
            printf("Failed to Create process!\n");
        } else {
            children.running.push_back({pid, address});
        }
        close(sock);
    }
}
