// floor.cpp -- the floor of the hand-off benchmark: a minimal fork-per-connection server
// on port 13367 that reads one request and answers it as a successful login.
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int ReadExactly(int fd, unsigned char *b, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, b + done, n - done);
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
    }
    return 0;
}

int main() {
    signal(SIGCHLD, SIG_IGN);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(13367);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(fd, 5) != 0) return 1;
    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        if (fork() == 0) {
            close(fd);
            unsigned char head[5], payload[4096];
            if (ReadExactly(c, head, 5) == 0) {
                size_t n = (size_t(head[1]) << 24) | (head[2] << 16) | (head[3] << 8) | head[4];
                if (n <= sizeof(payload) && ReadExactly(c, payload, n) == 0) {
                    unsigned char reply[5] = {0x81, 0, 0, 0, 0};
                    write(c, reply, 5);
                }
            }
            close(c);
            _exit(0);
        }
        close(c);
    }
}
