// floor.cpp -- the floors of the hand-off benchmark: minimal fork-per-connection servers
// on port 13367.
//
//   floor            reads one request and answers it as a successful login
//   floor --session  serves whole sessions: login, create_tmp_share (which
//                    starts the df and ifconfig pipelines through /bin/sh and
//                    reads their output, as the server must), read_history (20
//                    canned records) and client_close_connection
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

static int ReadExactly(int fd, unsigned char *b, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, b + done, n - done);
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
    }
    return 0;
}

static void PutInt(std::string *out, unsigned v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out->append(b, 4);
}

static void PutString(std::string *out, const std::string &s) {
    PutInt(out, static_cast<unsigned>(s.size()));
    *out += s;
}

// The output of a shell pipeline, read to its end.
static std::string Pipeline(const char *command) {
    std::string out;
    FILE *p = popen(command, "r");
    if (p == nullptr) return out;
    char line[512];
    while (fgets(line, sizeof(line), p)) out += line;
    pclose(p);
    return out;
}

static std::string ShareReply(void) {
    std::string free = Pipeline("df |grep '/mnt/USB5/C' |awk '{print $4}'");
    std::string br0 = Pipeline(
        "ifconfig |grep -A 1 br0|grep -i \"inet addr\"|awk -F\":\" '{print $2}'|awk '{print $1}'");
    while (!br0.empty() && br0.back() == '\n') br0.pop_back();
    std::string id = "12345678901234567890";
    std::string r("\x83", 1);
    PutInt(&r, 0);
    PutString(&r, "PARCELO_TMP_SHARE\\!@][_" + id + "\\");
    PutString(&r, "PARCELO_TMP_SHARE/!@][_" + id + "/");
    PutString(&r, id);
    PutString(&r, "2027/1/9 9:5:3");
    PutString(&r, "ftp://" + br0 + "/PARCELO_FINAL_SHARE/!@][_" + id);
    PutString(&r, "\\\\" + br0 + "\\PARCELO_FINAL_SHARE\\!@][_" + id);
    return r;
}

static std::string HistoryReply(void) {
    std::string r("\x8A", 1);
    for (int i = 0; i < 20; i++) {
        char id[32];
        snprintf(id, sizeof(id), "%020d", i);
        PutInt(&r, 0);
        PutString(&r, "alice");
        PutString(&r, "f" + std::to_string(i));
        PutString(&r, "folder");
        PutInt(&r, 1);
        PutString(&r, "2026/12/10 9:5:3");
        PutString(&r, id);
        PutString(&r, std::string("ftp://x/PARCELO_FINAL_SHARE/!@][_") + id);
        PutString(&r, std::string("\\\\x\\PARCELO_FINAL_SHARE\\!@][_") + id);
        PutString(&r, "2027/1/9 9:5:3");
        PutString(&r, "Success");
        PutString(&r, "");
    }
    PutInt(&r, 2);
    return r;
}

static void Serve(int c, int session) {
    unsigned char head[5], payload[4096];
    while (ReadExactly(c, head, 5) == 0) {
        size_t n = (size_t(head[1]) << 24) | (head[2] << 16) | (head[3] << 8) | head[4];
        if (n > sizeof(payload) || ReadExactly(c, payload, n) != 0) return;
        std::string reply;
        int code = session ? head[0] : 1;
        if (code == 1) reply = std::string("\x81\0\0\0\0", 5);
        if (code == 2) reply = std::string("\x82\0\0\0\0", 5);
        if (code == 3) reply = ShareReply();
        if (code == 10) reply = HistoryReply();
        if (reply.empty() || write(c, reply.data(), reply.size()) < 0) return;
        if (!session || code == 2) return;
    }
}

int main(int argc, char **argv) {
    int session = argc > 1 && strcmp(argv[1], "--session") == 0;
    signal(SIGCHLD, SIG_IGN);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(13367);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(fd, SOMAXCONN) != 0)
        return 1;
    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        if (fork() == 0) {
            close(fd);
            signal(SIGCHLD, SIG_DFL);
            Serve(c, session);
            close(c);
            _exit(0);
        }
        close(c);
    }
}
