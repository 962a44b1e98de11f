// ipcam_standin.cpp -- a network camera for tests and demonstrations: options, listener, accept
// loop.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "ipcam.h"

void Say(const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    strcat(line, "\n");
    fputs(line, stdout);
    fflush(stdout);
}

long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static const char kUsage[] =
    "usage: ipcam_standin --port N [options]\n"
    "  --port N              TCP port on 127.0.0.1 (0: pick a free one)\n"
    "  --size WxH            picture size (default 640x480)\n"
    "  --fps F               parts per second (0: as fast as the socket takes; default 25)\n"
    "  --frames N            parts per connection, then close (0: endless); with\n"
    "                        close-mid-frame, reset and stall: good parts before the fault\n"
    "  --type T              request line required: zorvan, axis or other (any GET; default)\n"
    "  --user U --password P Basic credentials required (default both empty)\n"
    "  --no-auth             do not require the Authorization header\n"
    "  --boundary NAME       multipart boundary (default ipcamframe)\n"
    "  --boundary-form F     plain, quoted (\"NAME\") or dashed (--NAME) in the header\n"
    "  --jpeg-dir DIR        send the JPEG files of DIR in name order, repeating\n"
    "  --pad-to N            pad every image to exactly N bytes with comment segments\n"
    "  --fault MODE          status=CODE, no-reason, not-http, long-status, long-head,\n"
    "                        endless-head, no-length, length-no-blank, length=TEXT,\n"
    "                        huge-length, oversize, dribble, close-mid-frame, reset,\n"
    "                        stall, refuse, garbage, garbage-body\n"
    "  --fault-at K          the part that oversize replaces (default 0, the first)\n"
    "  --dribble-us N        pause between the bytes of dribble (default 200)\n"
    "  --seed N              seed of the garbage modes (default 1)\n"
    "  --once                serve one connection, then exit\n"
    "  --help                this text\n";

static const struct {
    const char *name;
    int fault;
} kFaults[] = {
    {"none", IPCAM_FAULT_NONE},
    {"no-reason", IPCAM_FAULT_NO_REASON},
    {"not-http", IPCAM_FAULT_NOT_HTTP},
    {"long-status", IPCAM_FAULT_LONG_STATUS},
    {"long-head", IPCAM_FAULT_LONG_HEAD},
    {"endless-head", IPCAM_FAULT_ENDLESS_HEAD},
    {"no-length", IPCAM_FAULT_NO_LENGTH},
    {"length-no-blank", IPCAM_FAULT_LENGTH_NO_BLANK},
    {"huge-length", IPCAM_FAULT_HUGE_LENGTH},
    {"oversize", IPCAM_FAULT_OVERSIZE},
    {"dribble", IPCAM_FAULT_DRIBBLE},
    {"close-mid-frame", IPCAM_FAULT_CLOSE_MID_FRAME},
    {"reset", IPCAM_FAULT_RESET},
    {"stall", IPCAM_FAULT_STALL},
    {"refuse", IPCAM_FAULT_REFUSE},
    {"garbage", IPCAM_FAULT_GARBAGE},
    {"garbage-body", IPCAM_FAULT_GARBAGE_BODY},
};

static int Bad(const char *what, const char *value) {
    fprintf(stderr, "ipcam_standin: bad %s: %s\n%s", what, value, kUsage);
    return 1;
}

// Reads a whole decimal number in [min, max].
static bool ParseLong(const char *text, long min, long max, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

static int ParseFault(const char *text, IpcamOptions *opts) {
    long code = 0;
    if (strncmp(text, "status=", 7) == 0) {
        if (!ParseLong(text + 7, 100, 999, &code)) return Bad("status code", text);
        opts->fault = IPCAM_FAULT_STATUS;
        opts->faultStatus = static_cast<int>(code);
        return 0;
    }
    if (strncmp(text, "length=", 7) == 0) {
        opts->fault = IPCAM_FAULT_LENGTH_TEXT;
        opts->faultText = text + 7;
        return 0;
    }
    for (const auto &f : kFaults) {
        if (strcmp(text, f.name) == 0) {
            opts->fault = f.fault;
            return 0;
        }
    }
    return Bad("fault mode", text);
}

int ParseIpcamOptions(int argc, char **argv, IpcamOptions *opts) {
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        std::string value;
        size_t eq = name.find('=');
        bool inlineValue = name.compare(0, 2, "--") == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            fputs(kUsage, stdout);
            return 2;
        }
        if (name == "--once" || name == "--no-auth") {
            (name == "--once" ? opts->once : opts->noAuth) = true;
            continue;
        }
        static const char *const kWithValue[] = {
            "--port",   "--size",     "--fps",      "--frames",        "--type",
            "--user",   "--password", "--boundary", "--boundary-form", "--jpeg-dir",
            "--pad-to", "--fault",    "--fault-at", "--dribble-us",    "--seed"};
        bool known = false;
        for (const char *option : kWithValue) known = known || name == option;
        if (!known) return Bad("option", argv[i]);
        if (!inlineValue) {
            if (i + 1 >= argc) return Bad("option without value", argv[i]);
            value = argv[++i];
        }
        const char *v = value.c_str();
        long n = 0;
        if (name == "--port") {
            if (!ParseLong(v, 0, 65535, &n)) return Bad("port", v);
            opts->port = static_cast<int>(n);
        } else if (name == "--size") {
            int w = 0, h = 0;
            char tail = 0;
            if (sscanf(v, "%dx%d%c", &w, &h, &tail) != 2 || w < 1 || h < 1 || w > 8192 ||
                h > 8192) {
                return Bad("size", v);
            }
            opts->width = w;
            opts->height = h;
        } else if (name == "--fps") {
            char *end = nullptr;
            opts->fps = strtod(v, &end);
            if (end == v || *end != '\0' || !(opts->fps >= 0) || opts->fps > 1000) {
                return Bad("fps", v);
            }
        } else if (name == "--frames") {
            if (!ParseLong(v, 0, 1000000000L, &opts->frames)) return Bad("frames", v);
        } else if (name == "--type") {
            if (value == "zorvan") {
                opts->type = IPCAM_TYPE_ZORVAN;
            } else if (value == "axis") {
                opts->type = IPCAM_TYPE_AXIS;
            } else if (value == "other") {
                opts->type = IPCAM_TYPE_OTHER;
            } else {
                return Bad("type", v);
            }
        } else if (name == "--user") {
            opts->user = value;
        } else if (name == "--password") {
            opts->password = value;
        } else if (name == "--boundary") {
            if (value.empty() || value.find_first_of("\r\n") != std::string::npos) {
                return Bad("boundary", v);
            }
            opts->boundary = value;
        } else if (name == "--boundary-form") {
            if (value == "plain") {
                opts->boundaryForm = IPCAM_BOUNDARY_PLAIN;
            } else if (value == "quoted") {
                opts->boundaryForm = IPCAM_BOUNDARY_QUOTED;
            } else if (value == "dashed") {
                opts->boundaryForm = IPCAM_BOUNDARY_DASHED;
            } else {
                return Bad("boundary form", v);
            }
        } else if (name == "--jpeg-dir") {
            opts->jpegDir = value;
        } else if (name == "--pad-to") {
            if (!ParseLong(v, 0, 1L << 30, &opts->padTo)) return Bad("pad-to", v);
        } else if (name == "--fault") {
            if (ParseFault(v, opts) != 0) return 1;
        } else if (name == "--fault-at") {
            if (!ParseLong(v, 0, 1000000000L, &opts->faultAt)) return Bad("fault-at", v);
        } else if (name == "--dribble-us") {
            if (!ParseLong(v, 0, 10000000L, &n)) return Bad("dribble-us", v);
            opts->dribbleMicros = static_cast<int>(n);
        } else if (name == "--seed") {
            if (!ParseLong(v, 0, 0xFFFFFFFFL, &n)) return Bad("seed", v);
            opts->seed = static_cast<unsigned>(n);
        }
    }
    return 0;
}

// Binds a TCP socket to 127.0.0.1:port. Returns it, or -1.
static int BindLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int BoundPort(int fd) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

// True when the poll entry of standard output says that nobody reads it any
// more. A closed standard output is no longer watched (fd -1 never reports).
static bool ReaderGone(struct pollfd *watch) {
    if (watch->revents & POLLNVAL) watch->fd = -1;
    return (watch->revents & (POLLERR | POLLHUP)) != 0;
}

// Accepts connections for ever (or one with --once); each is served by a child.
static int AcceptLoop(const IpcamOptions &opts, FrameSource *src, int listener) {
    // A reader of our output that went away (a test that ended) ends the
    // stand-in too: the write end of a pipe without a reader reports POLLERR.
    struct pollfd watch[2] = {{listener, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    for (;;) {
        if (poll(watch, 2, -1) < 0 && errno != EINTR) {
            perror("ipcam_standin: poll");
            return 1;
        }
        if (ReaderGone(&watch[1])) return 0;
        if (!(watch[0].revents & POLLIN)) continue;
        struct sockaddr_in peer;
        socklen_t len = sizeof(peer);
        int fd = accept(listener, reinterpret_cast<struct sockaddr *>(&peer), &len);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("ipcam_standin: accept");
            return 1;
        }
        char address[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
        Say("connection from %s:%d", address, ntohs(peer.sin_port));
        if (opts.once) {
            close(listener);
            ServeConnection(opts, src, fd);
            return 0;
        }
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // no connection outlives the stand-in
            close(listener);
            ServeConnection(opts, src, fd);
            _exit(0);
        }
        if (pid < 0) perror("ipcam_standin: fork");
        close(fd);
    }
}

int main(int argc, char **argv) {
    IpcamOptions opts;
    int parsed = ParseIpcamOptions(argc, argv, &opts);
    if (parsed != 0) return parsed == 2 ? 0 : 1;
    FrameSource src;
    if (!opts.jpegDir.empty() && LoadJpegDir(opts.jpegDir, &src.files) != 0) return 1;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);  // children are reaped by the system

    int fd = BindLoopback(opts.port);
    if (fd < 0) {
        fprintf(stderr, "ipcam_standin: cannot bind 127.0.0.1:%d: %s\n", opts.port,
                strerror(errno));
        return 1;
    }
    if (opts.fault == IPCAM_FAULT_REFUSE) {
        // Bound but never listening: the port stays ours and every connect is refused.
        Say("listening on 127.0.0.1:%d (refusing connections)", BoundPort(fd));
        struct pollfd watch = {STDOUT_FILENO, 0, 0};
        while (!ReaderGone(&watch)) poll(&watch, 1, -1);
        return 0;
    }
    if (listen(fd, 16) != 0) {
        perror("ipcam_standin: listen");
        return 1;
    }
    Say("listening on 127.0.0.1:%d", BoundPort(fd));
    return AcceptLoop(opts, &src, fd);
}
