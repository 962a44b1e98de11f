// wire.cpp -- the blocking hand-off client of wire.h.
#include "wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wire {

int Dial(int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(13367);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const Bytes &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, size_t n, Bytes *out, int timeoutMs) {
    out->clear();
    int waited = 0;
    while (out->size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready <= 0) {
            waited += 100;
            if (waited >= timeoutMs) return false;
            continue;
        }
        unsigned char buf[65536];
        size_t want = n - out->size() < sizeof(buf) ? n - out->size() : sizeof(buf);
        ssize_t got = read(fd, buf, want);
        if (got <= 0) return false;
        out->insert(out->end(), buf, buf + got);
    }
    return true;
}

bool ReadU32(int fd, uint32_t *value, int timeoutMs) {
    Bytes b;
    if (!ReadAll(fd, 4, &b, timeoutMs)) return false;
    *value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return true;
}

bool ReadStr(int fd, std::string *value, int timeoutMs) {
    uint32_t n;
    Bytes b;
    if (!ReadU32(fd, &n, timeoutMs) || n > (1u << 20) || !ReadAll(fd, n, &b, timeoutMs))
        return false;
    value->assign(b.begin(), b.end());
    return true;
}

Bytes U32(uint32_t v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

Bytes Str(const std::string &text) {
    Bytes b = U32(static_cast<uint32_t>(text.size()));
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

Bytes Request(int code, const Bytes &payload) {
    Bytes b = {static_cast<unsigned char>(code)};
    Bytes length = U32(static_cast<uint32_t>(payload.size()));
    b.insert(b.end(), length.begin(), length.end());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

long ReplyStatus(int fd, int code, std::vector<Notice> *notices, int timeoutMs) {
    for (;;) {
        Bytes type;
        uint32_t status;
        if (!ReadAll(fd, 1, &type, timeoutMs) || !ReadU32(fd, &status, timeoutMs)) return -1;
        if (type[0] == 0x0C) {
            Notice n = {status, ""};
            if (!ReadStr(fd, &n.filesId, timeoutMs)) return -1;
            if (notices) notices->push_back(n);
            continue;
        }
        if (type[0] != (code | 0x80)) return -1;
        return status;
    }
}

static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

long Login(int fd, const std::string &user, const std::string &password) {
    if (!SendAll(fd, Request(1, Cat({U32(0x20090303), Str(user), Str(password)})))) return -1;
    return ReplyStatus(fd, 1);
}

long Share(int fd, const std::string &user, uint32_t size, std::string *filesId) {
    if (!SendAll(fd, Request(3, Cat({Str(user), Str("photos"), U32(size), Str("folder")}))))
        return -1;
    long status = ReplyStatus(fd, 3);
    if (status < 0) return -1;
    std::string fields[6];
    for (std::string &f : fields)
        if (!ReadStr(fd, &f)) return -1;
    *filesId = fields[2];
    return status;
}

long Finish(int fd, const std::string &filesId) { return Simple(fd, 7, filesId); }

long Simple(int fd, int code, const std::string &filesId) {
    if (!SendAll(fd, Request(code, Str(filesId)))) return -1;
    return ReplyStatus(fd, code);
}

}  // namespace wire
