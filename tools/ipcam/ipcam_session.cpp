// ipcam_session.cpp -- one camera connection: the answer, its parts and its faults.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "ipcam.h"

// The socket of a connection and how bytes go out on it.
struct Conn {
    int fd;
    bool dribble;       // one byte per write
    int dribbleMicros;  // pause between two such writes
};

// Sends all len bytes. Returns 0, or 1 when the peer is gone.
static int SendAll(const Conn &c, const char *data, size_t len) {
    size_t step = c.dribble ? 1 : len;
    while (len > 0) {
        ssize_t n = send(c.fd, data, step < len ? step : len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        data += n;
        len -= static_cast<size_t>(n);
        if (c.dribble && len > 0 && c.dribbleMicros > 0) {
            struct timespec pause = {c.dribbleMicros / 1000000, c.dribbleMicros % 1000000 * 1000L};
            nanosleep(&pause, nullptr);
        }
    }
    return 0;
}

static int SendAll(const Conn &c, const std::string &s) { return SendAll(c, s.data(), s.size()); }

// Waits until the monotonic time deadlineMs (-1: for ever) while watching the
// peer. Returns 0 at the deadline, 1 when the peer closed or failed.
static int WaitWatchingPeer(int fd, long deadlineMs) {
    for (;;) {
        long left = deadlineMs < 0 ? -1 : deadlineMs - NowMs();
        if (deadlineMs >= 0 && left <= 0) return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, left > 100000 ? 100000 : static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return 1;
        if (r == 0) continue;
        char discard[4096];
        ssize_t n = recv(fd, discard, sizeof(discard), 0);  // a camera ignores what follows
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return 1;
    }
}

static std::string BoundaryParameter(const IpcamOptions &opts) {
    if (opts.boundaryForm == IPCAM_BOUNDARY_QUOTED) return "\"" + opts.boundary + "\"";
    if (opts.boundaryForm == IPCAM_BOUNDARY_DASHED) return "--" + opts.boundary;
    return opts.boundary;
}

// Header lines that push the boundary-carrying line past byte 1024 of the head.
static std::string PaddingLines(size_t *counter, size_t bytes) {
    std::string lines;
    while (lines.size() < bytes) {
        char line[96];
        snprintf(line, sizeof(line), "X-Padding-%04zu: %s\r\n", (*counter)++ % 10000,
                 "the camera has a lot to say before it names its boundary");
        lines += line;
    }
    return lines;
}

// The response head of a stream, shaped by the fault.
static std::string StreamHead(const IpcamOptions &opts) {
    std::string head;
    if (opts.fault == IPCAM_FAULT_NO_REASON) {
        head = "HTTP/1.0 200\r\n";
    } else if (opts.fault == IPCAM_FAULT_LONG_STATUS) {
        head = "HTTP/1.0 200 OK and a reason phrase that runs on and on past sixty-four bytes\r\n";
    } else {
        head = "HTTP/1.0 200 OK\r\n";
    }
    if (opts.fault == IPCAM_FAULT_LONG_HEAD) {
        size_t counter = 0;
        head += PaddingLines(&counter, 1200);
    }
    head +=
        "Server: ipcam-standin\r\nConnection: close\r\nCache-Control: no-cache\r\n"
        "Pragma: no-cache\r\nContent-Type: multipart/x-mixed-replace;boundary=";
    head += BoundaryParameter(opts);
    head += "\r\n\r\n";
    return head;
}

// "Content-Length:" values of huge-length, in turn: past every integer type,
// past 32 bits, the largest int, negative ones.
static const char *const kHugeLengths[] = {"99999999999999999999", "4294967297",
                                           "2147483647",           "-1",
                                           "-2147483648",          "-99999999999999999999"};

static std::string PartHead(const IpcamOptions &opts, size_t imageSize, long index) {
    std::string head = "--" + opts.boundary + "\r\nContent-Type: image/jpeg\r\n";
    char line[128];
    switch (opts.fault) {
        case IPCAM_FAULT_NO_LENGTH:
            return head + "\r\n";
        case IPCAM_FAULT_LENGTH_NO_BLANK:
            snprintf(line, sizeof(line), "Content-Length:%zu\r\n", imageSize);
            break;
        case IPCAM_FAULT_LENGTH_TEXT:
            snprintf(line, sizeof(line), "Content-Length: %.100s\r\n", opts.faultText.c_str());
            break;
        case IPCAM_FAULT_HUGE_LENGTH:
            snprintf(line, sizeof(line), "Content-Length: %s\r\n",
                     kHugeLengths[index % (sizeof(kHugeLengths) / sizeof(kHugeLengths[0]))]);
            break;
        default:
            snprintf(line, sizeof(line), "Content-Length: %zu\r\n", imageSize);
    }
    return head + line + "\r\n";
}

int NextImage(const IpcamOptions &opts, FrameSource *src, long number, std::string *image) {
    if (!src->files.empty()) {
        *image = src->files[static_cast<size_t>(number) % src->files.size()];
    } else {
        DrawTestCard(opts.width, opts.height, number, &src->rgb);
        EncodeJpeg(src->rgb, opts.width, opts.height, 80, image);
    }
    if (opts.padTo > 0 && PadJpeg(image, static_cast<size_t>(opts.padTo)) != 0) return 1;
    return 0;
}

// A small deterministic generator for the garbage modes.
static uint32_t NextRandom(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

static std::string RandomBytes(uint32_t *state, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(NextRandom(state) & 0xFF);
    return s;
}

// One piece of garbage-body: random bytes, or a piece of a part that sends the
// parser on (a boundary line, a length, an empty line, a whole part).
static int SendGarbagePiece(const IpcamOptions &opts, FrameSource *src, const Conn &c,
                            uint32_t *state, long index) {
    char line[64];
    switch (NextRandom(state) % 6) {
        case 0:
            return SendAll(c, "--" + opts.boundary + "\r\n");
        case 1:
            snprintf(line, sizeof(line), "Content-Length: %d\r\n",
                     static_cast<int>(NextRandom(state)) >> (NextRandom(state) % 32));
            return SendAll(c, line);
        case 2:
            return SendAll(c, "\r\n");
        case 3: {
            std::string image;
            if (NextImage(opts, src, index, &image) != 0) return 1;
            return SendAll(c, PartHead(opts, image.size(), index) + image + "\r\n");
        }
        default:
            return SendAll(c, RandomBytes(state, 1 + NextRandom(state) % 4096));
    }
}

static bool IsLateFault(int fault) {
    return fault == IPCAM_FAULT_CLOSE_MID_FRAME || fault == IPCAM_FAULT_RESET ||
           fault == IPCAM_FAULT_STALL;
}

// Sends parts until --frames is reached, the peer goes, or a late fault comes.
// *sent counts the parts sent whole. Returns 1 when the connection is to be reset.
static int SendParts(const IpcamOptions &opts, FrameSource *src, const Conn &c, long *sent) {
    double periodMs = opts.fps > 0 ? 1000.0 / opts.fps : 0;
    double next = static_cast<double>(NowMs());  // deadlines do not drift with rounding
    uint32_t state = opts.seed == 0 ? 1 : opts.seed;
    for (long index = 0;; index++) {
        bool late = IsLateFault(opts.fault);
        if (!late && opts.frames > 0 && *sent >= opts.frames) return 0;
        if (periodMs > 0) {
            if (WaitWatchingPeer(c.fd, static_cast<long>(next + 0.5)) != 0) return 0;
            // A slow reader does not earn a burst of catch-up frames.
            next = std::max(next + periodMs, static_cast<double>(NowMs()) - periodMs);
        }
        if (opts.fault == IPCAM_FAULT_GARBAGE_BODY) {
            if (SendGarbagePiece(opts, src, c, &state, index) != 0) return 0;
            (*sent)++;
            continue;
        }
        std::string image;
        IpcamOptions partOpts = opts;
        if (opts.fault == IPCAM_FAULT_OVERSIZE && index == opts.faultAt) {
            partOpts.padTo = static_cast<long>(opts.width) * opts.height * 3 + 1;
        }
        if (NextImage(partOpts, src, index, &image) != 0) {
            Say("cannot pad an image of frame %ld", index);
            return 0;
        }
        std::string part = PartHead(opts, image.size(), index) + image + "\r\n";
        if (late && *sent >= opts.frames) {
            if (opts.fault == IPCAM_FAULT_STALL) {
                Say("stalling");
                WaitWatchingPeer(c.fd, -1);
                return 0;
            }
            SendAll(c, part.data(), part.size() / 2);
            return opts.fault == IPCAM_FAULT_RESET ? 1 : 0;
        }
        if (SendAll(c, part) != 0) return 0;
        (*sent)++;
    }
}

// Closes the socket with an orderly end (FIN), or with a reset (RST).
static void CloseConnection(int fd, bool reset) {
    if (reset) {
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(fd);
        return;
    }
    // Unread bytes at close would turn the FIN into a reset: read them first.
    shutdown(fd, SHUT_WR);
    char discard[4096];
    while (recv(fd, discard, sizeof(discard), MSG_DONTWAIT) > 0) {
    }
    close(fd);
}

// Sends the answer after the request passed its checks. Returns 1 for a reset close.
static int Answer(const IpcamOptions &opts, FrameSource *src, const Conn &c, long *sent) {
    uint32_t state = opts.seed == 0 ? 1 : opts.seed;
    switch (opts.fault) {
        case IPCAM_FAULT_STATUS:
            SendAll(c, ErrorAnswer(opts.faultStatus));
            Say("%d sent", opts.faultStatus);
            return 0;
        case IPCAM_FAULT_NOT_HTTP:
            SendAll(c,
                    "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: text/plain\r\n\r\n"
                    "this camera does not speak HTTP\r\n");
            return 0;
        case IPCAM_FAULT_ENDLESS_HEAD: {
            if (SendAll(c, "HTTP/1.0 200 OK\r\n") != 0) return 0;
            size_t counter = 0;
            while (SendAll(c, PaddingLines(&counter, 4096)) == 0) {
            }
            return 0;
        }
        case IPCAM_FAULT_GARBAGE:
            for (long n = 0; opts.frames == 0 || n < opts.frames; n++) {
                if (SendAll(c, RandomBytes(&state, 4096)) != 0) break;
            }
            return 0;
        default:
            if (SendAll(c, StreamHead(opts)) != 0) return 0;
            return SendParts(opts, src, c, sent);
    }
}

void ServeConnection(const IpcamOptions &opts, FrameSource *src, int fd) {
    Conn c = {fd, opts.fault == IPCAM_FAULT_DRIBBLE, opts.dribbleMicros};
    if (c.dribble) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    long sent = 0;
    bool reset = false;
    std::vector<std::string> lines;
    if (ReadRequest(fd, &lines) != 0) {
        Say("no complete request head");
    } else {
        Say("request: %s", lines[0].c_str());
        for (size_t i = 1; i < lines.size(); i++) Say("header: %s", lines[i].c_str());
        if (!RequestLineFits(opts, lines[0])) {
            SendAll(c, ErrorAnswer(404));
            Say("404 sent");
        } else if (!CredentialsFit(opts, lines)) {
            SendAll(c, ErrorAnswer(401));
            Say("401 sent");
        } else {
            reset = Answer(opts, src, c, &sent) != 0;
        }
    }
    CloseConnection(fd, reset);
    Say("sent %ld frames", sent);
}
