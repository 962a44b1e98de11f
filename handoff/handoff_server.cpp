// handoff_server.cpp -- accepting clients and serving each in a process of its own.
#include "handoff_server.h"

#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Reads exactly size bytes. Returns 0, or -1 at the end of the stream or on
// an error. Every read that brings bytes re-arms the idle alarm; a SIGHUP
// that cuts a read short reloads the configuration first.
static int ReadExactly(HandoffContext *ctx, unsigned char *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(ctx->sock, buffer + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            alarm(ctx->idleSeconds);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            if (gReloadRequested) {
                gReloadRequested = 0;
                LoadConfiguration(&ctx->config);
            }
            continue;
        }
        return -1;
    }
    return 0;
}

void ServeHandoffConnection(const HandoffConfig *config, const HandoffTiming *timing, int sock) {
    HandoffContext ctx;
    HandoffContextInit(&ctx, config, sock);
    ctx.idleSeconds = timing->idleSeconds;
    ctx.retrySeconds = timing->retrySeconds;
    signal(SIGALRM, SIG_DFL);
    // A client that never sends a byte is dropped after the idle time too.
    alarm(ctx.idleSeconds);
    std::vector<unsigned char> payload;
    for (;;) {
        unsigned char head[kHandoffHeaderSize];
        if (ReadExactly(&ctx, head, sizeof(head)) != 0) break;
        HandoffHeader header;
        DecodeHandoffHeader(head, &header);
        if (header.length > kHandoffMaxPayload) {
            printf("Bad packet!\n");
            break;
        }
        payload.resize(header.length);
        if (header.length > 0 && ReadExactly(&ctx, payload.data(), header.length) != 0) break;
        int result = DispatchHandoffPacket(&ctx, &header, payload.data(), payload.size());
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (result == HANDOFF_CLOSE) break;
        if (result == HANDOFF_BAD_PACKET) {
            printf("Error: Analyse Packet Failed!\n");
            break;
        }
    }
    close(sock);
}

// Ends connections without zombies from now on, and reaps those that ended
// while children were not ignored.
static void IgnoreChildren(void) {
    signal(SIGCHLD, SIG_IGN);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

void RunHandoffListener(HandoffConfig *config, const HandoffTiming *timing, int listenFd) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnHangup;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);  // no SA_RESTART: accept returns to reload
    int forked = 0;
    for (;;) {
        if (gReloadRequested) {
            gReloadRequested = 0;
            // The shell commands of the reload wait for their children.
            if (forked) signal(SIGCHLD, SIG_DFL);
            LoadConfiguration(config);
            if (forked) IgnoreChildren();
        }
        int sock = accept(listenFd, nullptr, nullptr);
        if (sock < 0) {
            if (errno != EINTR) printf("Accept: %s\n", strerror(errno));
            if (errno == EMFILE || errno == ENFILE) sleep(1);  // pause instead of spinning
            continue;
        }
        fflush(stdout);
        // Ignored before the first fork, so that even a connection that ends
        // at once leaves no zombie.
        if (!forked) IgnoreChildren();
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
            if (!forked) signal(SIGCHLD, SIG_DFL);
        } else {
            forked = 1;
        }
        close(sock);
    }
}
