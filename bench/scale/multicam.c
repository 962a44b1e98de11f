/* multicam.c -- many network cameras in one process, for the scale benchmark.
 *
 *   multicam JPEG_DIR FPS
 *
 * Listens on a free port of 127.0.0.1 (printed first: "listening on
 * 127.0.0.1:PORT"). Every connection is one camera: after the request's empty
 * line it gets a multipart/x-mixed-replace stream of the prepared JPEG files
 * of JPEG_DIR (no encoding here, so the camera side stays cheap), one part
 * per 1/FPS seconds on one clock for all cameras. A part is queued only when
 * the previous one went out whole (a slow reader earns no burst); it counts
 * as sent when its last byte is written. Prints "streaming N" whenever a
 * camera starts. On SIGUSR1 it stops queuing, closes the listener, sends
 * what is queued, ends every stream (shutdown) and waits up to 20 s for the
 * readers to close, then prints "sent TOTAL" and exits.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CAMERAS 256
#define MAX_IMAGES 256

struct Camera {
    int fd;
    int streaming; /* the request was read, parts go out */
    int ended;     /* shutdown sent */
    char request[4096];
    size_t requestLength;
    const char *out; /* what is being written: the head, then parts */
    size_t outLength, outDone;
    char *part; /* the part being written (head + image + CRLF) */
    long next;  /* image number */
};

static volatile sig_atomic_t stopping = 0;
static void OnStop(int sig) {
    (void)sig;
    stopping = 1;
}

static char *images[MAX_IMAGES];
static size_t imageSizes[MAX_IMAGES];
static int imageCount = 0;

static int CompareNames(const void *a, const void *b) {
    return strcmp(*(char *const *)a, *(char *const *)b);
}

static void LoadImages(const char *dir) {
    DIR *d = opendir(dir);
    if (d == NULL) {
        perror("multicam: jpeg dir");
        exit(2);
    }
    char *names[MAX_IMAGES];
    int count = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL && count < MAX_IMAGES) {
        size_t n = strlen(e->d_name);
        if (n > 4 && strcmp(e->d_name + n - 4, ".jpg") == 0) names[count++] = strdup(e->d_name);
    }
    closedir(d);
    qsort(names, count, sizeof(names[0]), CompareNames);
    for (int i = 0; i < count; i++) {
        char path[4096];
        snprintf(path, sizeof(path), "%s/%s", dir, names[i]);
        FILE *f = fopen(path, "rb");
        if (f == NULL) continue;
        fseek(f, 0, SEEK_END);
        long size = ftell(f);
        fseek(f, 0, SEEK_SET);
        images[imageCount] = malloc(size);
        if (fread(images[imageCount], 1, size, f) == (size_t)size) imageSizes[imageCount++] = size;
        fclose(f);
        free(names[i]);
    }
    if (imageCount == 0) {
        fprintf(stderr, "multicam: no .jpg in %s\n", dir);
        exit(2);
    }
}

static long NowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static const char kHead[] =
    "HTTP/1.0 200 OK\r\nServer: multicam\r\nConnection: close\r\nCache-Control: no-cache\r\n"
    "Pragma: no-cache\r\nContent-Type: multipart/x-mixed-replace;boundary=ipcamframe\r\n\r\n";

/* Queues the next part of c. */
static void QueuePart(struct Camera *c) {
    int i = (int)(c->next++ % imageCount);
    char head[128];
    int h = snprintf(head, sizeof(head),
                     "--ipcamframe\r\nContent-Type: image/jpeg\r\nContent-Length: %zu\r\n\r\n",
                     imageSizes[i]);
    free(c->part);
    c->part = malloc(h + imageSizes[i] + 2);
    memcpy(c->part, head, h);
    memcpy(c->part + h, images[i], imageSizes[i]);
    memcpy(c->part + h + imageSizes[i], "\r\n", 2);
    c->out = c->part;
    c->outLength = h + imageSizes[i] + 2;
    c->outDone = 0;
}

/* Writes what c has queued; returns 1 when a part went out whole. */
static int Flush(struct Camera *c) {
    while (c->out != NULL && c->outDone < c->outLength) {
        ssize_t n = send(c->fd, c->out + c->outDone, c->outLength - c->outDone, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return 0;
            close(c->fd);
            c->fd = -1;
            return 0;
        }
        c->outDone += (size_t)n;
    }
    if (c->out == NULL) return 0;
    int wasPart = c->out == c->part;
    c->out = NULL;
    return wasPart;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: multicam JPEG_DIR FPS\n");
        return 2;
    }
    LoadImages(argv[1]);
    long period = 1000L / atol(argv[2]);
    signal(SIGUSR1, OnStop);
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, (struct sockaddr *)&addr, sizeof(addr)) != 0 || listen(listener, 256) != 0 ||
        getsockname(listener, (struct sockaddr *)&addr, &len) != 0) {
        perror("multicam: listen");
        return 2;
    }
    printf("listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));
    fflush(stdout);

    static struct Camera cams[MAX_CAMERAS];
    int count = 0, streaming = 0;
    long sent = 0, tick = NowMs(), stopDeadline = 0;
    for (;;) {
        if (stopping && listener >= 0) {
            close(listener);
            listener = -1;
            stopDeadline = NowMs() + 20000;
        }
        struct pollfd p[MAX_CAMERAS + 1];
        int n = 0;
        if (listener >= 0) p[n++] = (struct pollfd){listener, POLLIN, 0};
        int open = 0;
        for (int i = 0; i < count; i++) {
            struct Camera *c = &cams[i];
            if (c->fd < 0) continue;
            open++;
            short ev = POLLIN;
            if (c->out != NULL) ev |= POLLOUT;
            p[n++] = (struct pollfd){c->fd, ev, 0};
        }
        if (stopping && (open == 0 || NowMs() > stopDeadline)) break;
        long wait = tick + period - NowMs();
        if (wait < 0) wait = 0;
        poll(p, n, (int)wait);
        if (listener >= 0 && (p[0].revents & POLLIN) && count < MAX_CAMERAS) {
            int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK);
            if (fd >= 0) {
                memset(&cams[count], 0, sizeof(cams[count]));
                cams[count++].fd = fd;
            }
        }
        for (int i = 0; i < count; i++) {
            struct Camera *c = &cams[i];
            if (c->fd < 0) continue;
            {
                /* The request; later reads only notice the reader going. */
                char buf[4096];
                ssize_t got = recv(c->fd, buf, sizeof(buf), 0);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    close(c->fd);
                    c->fd = -1;
                    continue;
                }
                if (got > 0 && !c->streaming) {
                    size_t take = (size_t)got;
                    if (take > sizeof(c->request) - 1 - c->requestLength)
                        take = sizeof(c->request) - 1 - c->requestLength;
                    memcpy(c->request + c->requestLength, buf, take);
                    c->requestLength += take;
                    c->request[c->requestLength] = '\0';
                    if (strstr(c->request, "\r\n\r\n") != NULL) {
                        c->streaming = 1;
                        c->out = kHead;
                        c->outLength = sizeof(kHead) - 1;
                        c->outDone = 0;
                        printf("streaming %d\n", ++streaming);
                        fflush(stdout);
                    }
                }
            }
            if (c->out != NULL) sent += Flush(c);
        }
        if (NowMs() >= tick + period) {
            tick += period;
            if (NowMs() > tick + period) tick = NowMs(); /* no catch-up bursts */
            for (int i = 0; i < count; i++) {
                struct Camera *c = &cams[i];
                if (c->fd < 0 || !c->streaming || c->ended) continue;
                if (stopping) {
                    if (c->out == NULL) {
                        shutdown(c->fd, SHUT_WR);
                        c->ended = 1;
                    }
                    continue;
                }
                if (c->out == NULL) {
                    QueuePart(c);
                    sent += Flush(c);
                }
            }
        }
    }
    printf("sent %ld\n", sent);
    fflush(stdout);
    return 0;
}
