/* floor.c -- the least a recorder of the camera stream can do: poll the
 * socket, read at most READ_SIZE bytes, write them to a file, until the
 * camera closes. The recording benchmark measures it beside vidula and ffmpeg.
 *
 *   floor PORT READ_SIZE OUT_FILE
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int WriteAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: floor PORT READ_SIZE OUT_FILE\n");
        return 2;
    }
    size_t readSize = (size_t)atol(argv[2]);
    char *buf = malloc(readSize);
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)atoi(argv[1]));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (buf == NULL || out < 0 || s < 0 ||
        connect(s, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
        perror("floor");
        return 1;
    }
    static const char request[] = "GET /video.mjpg HTTP/1.0\r\n\r\n";
    if (WriteAll(s, request, sizeof(request) - 1) != 0) return 1;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    for (;;) {
        struct pollfd p = {s, POLLIN, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return 1;
        ssize_t n = read(s, buf, readSize);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;
        }
        if (WriteAll(out, buf, (size_t)n) != 0) return 1;
    }
    close(out);
    return 0;
}
