// client_session.cpp -- handoff_client's connection, requests and the commands built on them.
#include "client_session.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "handoff_packet.h"
#include "whole_io.h"

int ClientConnect(ClientSession *session, const ClientOptions *options) {
    session->fd = -1;
    session->in.clear();
    struct addrinfo hints, *found = nullptr;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    std::string port = std::to_string(options->port);
    if (getaddrinfo(options->host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        fprintf(stderr, "handoff_client: unknown host %s\n", options->host.c_str());
        return CLIENT_BROKEN;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        fprintf(stderr, "handoff_client: cannot connect to %s:%d: %s\n", options->host.c_str(),
                options->port, strerror(errno));
        if (fd >= 0) close(fd);
        freeaddrinfo(found);
        return CLIENT_BROKEN;
    }
    freeaddrinfo(found);
    session->fd = fd;
    return 0;
}

void ClientClose(ClientSession *session) {
    if (session->fd >= 0) close(session->fd);
    session->fd = -1;
}

int ClientSend(ClientSession *session, int code, const std::vector<unsigned char> &payload) {
    std::vector<unsigned char> packet(kHandoffHeaderSize);
    EncodeHandoffHeader(packet.data(), 0, code, static_cast<uint32_t>(payload.size()));
    packet.insert(packet.end(), payload.begin(), payload.end());
    return WriteAll(session->fd, packet.data(), packet.size());
}

int ClientTake(ClientSession *session, size_t n, std::vector<unsigned char> *out) {
    while (session->in.size() < n) {
        unsigned char chunk[4096];
        ssize_t got = read(session->fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        session->in.insert(session->in.end(), chunk, chunk + got);
    }
    out->assign(session->in.begin(), session->in.begin() + static_cast<long>(n));
    session->in.erase(session->in.begin(), session->in.begin() + static_cast<long>(n));
    return 0;
}

int ClientTakeInt(ClientSession *session, uint32_t *value) {
    std::vector<unsigned char> b;
    if (ClientTake(session, 4, &b) != 0) return -1;
    *value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return 0;
}

int ClientTakeString(ClientSession *session, std::string *value) {
    uint32_t n;
    std::vector<unsigned char> b;
    if (ClientTakeInt(session, &n) != 0 || n > kHandoffMaxPayload) return -1;
    if (ClientTake(session, n, &b) != 0) return -1;
    value->assign(b.begin(), b.end());
    return 0;
}

// Takes a copy notice (type 12) when one is next. Returns 1 when one was
// taken (*noticed is then 1 for a copy that succeeded, 2 for one that
// failed), 0 when the next byte is something else, -1 at the end.
static int TakeNotice(ClientSession *s, int *noticed) {
    std::vector<unsigned char> type;
    if (ClientTake(s, 1, &type) != 0) return -1;
    if (type[0] != HANDOFF_COPY_NOTICE) {
        s->in.insert(s->in.begin(), type[0]);
        return 0;
    }
    uint32_t st;
    std::string id;
    if (ClientTakeInt(s, &st) != 0 || ClientTakeString(s, &id) != 0) return -1;
    if (noticed) *noticed = st == HANDOFF_DONE ? 1 : 2;
    return 1;
}

// Takes the integer that starts a history record or ends the history. A
// copy notice may come before it: the integer's first byte is never 12.
static int TakeRecordInt(ClientSession *s, uint32_t *value) {
    int taken;
    while ((taken = TakeNotice(s, nullptr)) == 1) {
    }
    return taken < 0 ? -1 : ClientTakeInt(s, value);
}

// Takes the type byte and status of a reply; the copy notice (type 12) that
// may come between replies is reported and skipped. *noticed is set when one
// was seen (1: the copy succeeded, 2: it failed).
static int TakeReply(ClientSession *s, int code, uint32_t *status, int *noticed) {
    for (;;) {
        int taken = TakeNotice(s, noticed);
        if (taken < 0) return -1;
        if (taken == 1) continue;
        std::vector<unsigned char> type;
        if (ClientTake(s, 1, &type) != 0) return -1;
        if (type[0] != (code | kHandoffReplyBit)) {
            fprintf(stderr, "handoff_client: unexpected reply type 0x%02X\n", type[0]);
            return -1;
        }
        return status ? ClientTakeInt(s, status) : 0;
    }
}

static int Broken(void) {
    fprintf(stderr, "handoff_client: the server closed the connection or sent a broken reply\n");
    return CLIENT_BROKEN;
}

static int Login(ClientSession *s, const ClientOptions *o) {
    std::vector<unsigned char> p;
    PacketPutInt(&p, kHandoffVersion);
    PacketPutString(&p, o->user);
    PacketPutString(&p, o->password);
    uint32_t status;
    if (ClientSend(s, HANDOFF_CREATE_CONNECTION, p) != 0 ||
        TakeReply(s, HANDOFF_CREATE_CONNECTION, &status, nullptr) != 0)
        return Broken();
    if (status == HANDOFF_DONE) return CLIENT_DONE;
    if (status == HANDOFF_REFUSED) {
        fprintf(stderr, "handoff_client: the server refused the protocol version\n");
        return CLIENT_REFUSED;
    }
    fprintf(stderr, "handoff_client: login refused: user name or password wrong\n");
    return CLIENT_LOGIN_REFUSED;
}

static void Close(ClientSession *s) {
    ClientSend(s, HANDOFF_CLOSE_CONNECTION, {});
    uint32_t status;
    TakeReply(s, HANDOFF_CLOSE_CONNECTION, &status, nullptr);
    ClientClose(s);
}

static int StatusResult(uint32_t status, const char *what) {
    if (status == HANDOFF_DONE) return CLIENT_DONE;
    if (status == HANDOFF_NOT_ALLOWED) {
        fprintf(stderr, "handoff_client: %s: not allowed before a login\n", what);
    } else {
        fprintf(stderr, "handoff_client: %s refused (status %u)\n", what, status);
    }
    return status == HANDOFF_REFUSED_2 ? CLIENT_LOGIN_REFUSED : CLIENT_REFUSED;
}

static std::vector<unsigned char> StringPayload(const std::string &text) {
    std::vector<unsigned char> p;
    PacketPutString(&p, text);
    return p;
}

// Commands of one string field and a status reply.
static int SimpleCommand(ClientSession *s, int code, const std::string &field, const char *what,
                         const char *doneText) {
    uint32_t status;
    if (ClientSend(s, code, StringPayload(field)) != 0 || TakeReply(s, code, &status, nullptr))
        return Broken();
    int result = StatusResult(status, what);
    if (result == CLIENT_DONE) printf("%s\n", doneText);
    return result;
}

static int Share(ClientSession *s, const ClientOptions *o, const std::vector<std::string> &a) {
    std::vector<unsigned char> p;
    PacketPutString(&p, o->user);
    PacketPutString(&p, a[1]);
    PacketPutInt(&p, static_cast<uint32_t>(strtoul(a[2].c_str(), nullptr, 10)));
    PacketPutString(&p, a.size() > 3 ? a[3] : "folder");
    uint32_t status;
    if (ClientSend(s, HANDOFF_CREATE_TMP_SHARE, p) != 0 ||
        TakeReply(s, HANDOFF_CREATE_TMP_SHARE, &status, nullptr) != 0)
        return Broken();
    std::string f[6];
    for (std::string &field : f)
        if (ClientTakeString(s, &field) != 0) return Broken();
    if (status == HANDOFF_REFUSED) {
        fprintf(stderr, "handoff_client: share refused: no target volume or not enough space\n");
        return CLIENT_REFUSED;
    }
    if (status != HANDOFF_DONE) return StatusResult(status, "share");
    printf(
        "files_id\t%s\ntmp_share\t%s\ntmp_ftp\t%s\nexpires\t%s\ninternet_link\t%s\n"
        "lan_link\t%s\n",
        f[2].c_str(), f[0].c_str(), f[1].c_str(), f[3].c_str(), f[4].c_str(), f[5].c_str());
    return CLIENT_DONE;
}

static void ShowProgress(uint32_t progress, int *last) {
    int value = static_cast<int>(progress);
    if (value < 0) value = 0;
    if (value > 10000) value = 10000;
    if (value == *last) return;
    *last = value;
    if (isatty(STDOUT_FILENO)) {
        char bar[41];
        int filled = value * 40 / 10000;
        for (int i = 0; i < 40; i++) bar[i] = i < filled ? '#' : '.';
        bar[40] = '\0';
        printf("\r[%s] %3d.%02d%%", bar, value / 100, value % 100);
        if (value == 10000) printf("\n");
    } else {
        printf("progress %d.%02d%%\n", value / 100, value % 100);
    }
    fflush(stdout);
}

// Polls check_n2ncp_rate every 200 ms until the copy is complete (or, with
// waitNotice, until the copy notice arrives).
static int Progress(ClientSession *s, const std::string &id, uint32_t total, int waitNotice) {
    int last = -1, noticed = 0;
    if (total == 0) total = 1;
    for (;;) {
        std::vector<unsigned char> p = StringPayload(id);
        PacketPutInt(&p, total);
        uint32_t status, progress;
        if (ClientSend(s, HANDOFF_CHECK_N2NCP_RATE, p) != 0 ||
            TakeReply(s, HANDOFF_CHECK_N2NCP_RATE, &status, &noticed) != 0 ||
            ClientTakeInt(s, &progress) != 0)
            return Broken();
        if (status != HANDOFF_DONE) return StatusResult(status, "progress");
        if (noticed) progress = 10000;
        ShowProgress(progress, &last);
        if (noticed || (!waitNotice && static_cast<int>(progress) >= 10000)) break;
        struct pollfd pfd = {s->fd, POLLIN, 0};
        poll(&pfd, 1, 200);
    }
    if (noticed == 2) {
        fprintf(stderr, "handoff_client: the copy of %s failed\n", id.c_str());
        return CLIENT_REFUSED;
    }
    if (waitNotice) printf("copy finished: %s\n", id.c_str());
    return CLIENT_DONE;
}

static int Copy(ClientSession *s, const std::vector<std::string> &a) {
    std::vector<unsigned char> p = StringPayload(a[1]);
    PacketPutString(&p, a[2]);
    uint32_t status;
    if (ClientSend(s, HANDOFF_N2NCP, p) != 0 || TakeReply(s, HANDOFF_N2NCP, &status, nullptr))
        return Broken();
    if (status == HANDOFF_REFUSED) {
        fprintf(stderr,
                "handoff_client: copy refused: the source is not a folder of a data volume, or "
                "the hand-off does not exist\n");
        return CLIENT_REFUSED;
    }
    if (status != HANDOFF_DONE) return StatusResult(status, "copy");
    uint32_t total = a.size() > 3 ? static_cast<uint32_t>(strtoul(a[3].c_str(), nullptr, 10)) : 1;
    return Progress(s, a[2], total, 1);
}

static int History(ClientSession *s, const std::string &user) {
    uint32_t status;
    if (ClientSend(s, HANDOFF_READ_HISTORY, StringPayload(user)) != 0 ||
        TakeReply(s, HANDOFF_READ_HISTORY, &status, nullptr) != 0)
        return Broken();
    if (status == HANDOFF_REFUSED) {
        printf("no history\n");
        return CLIENT_DONE;
    }
    if (status == HANDOFF_NOT_ALLOWED) return StatusResult(status, "history");
    printf("%-20s %-10s %8s %-19s %-19s %-7s %s\n", "FILES_ID", "TYPE", "SIZE_KB", "SENT",
           "EXPIRES", "STATUS", "FILE_NAME");
    int rows = 0;
    while (status == HANDOFF_DONE) {
        std::string section, name, type, sent, id, inet, lan, expires, result, email;
        uint32_t size;
        if (ClientTakeString(s, &section) || ClientTakeString(s, &name) ||
            ClientTakeString(s, &type) || ClientTakeInt(s, &size) || ClientTakeString(s, &sent) ||
            ClientTakeString(s, &id) || ClientTakeString(s, &inet) || ClientTakeString(s, &lan) ||
            ClientTakeString(s, &expires) || ClientTakeString(s, &result) ||
            ClientTakeString(s, &email) || TakeRecordInt(s, &status))
            return Broken();
        printf("%-20s %-10s %8u %-19s %-19s %-7s %s\n", id.c_str(), type.c_str(), size,
               sent.c_str(), expires.c_str(), result.empty() ? "-" : result.c_str(), name.c_str());
        rows++;
    }
    printf("(%d hand-off%s)\n", rows, rows == 1 ? "" : "s");
    return CLIENT_DONE;
}

static int Charset(ClientSession *s) {
    std::string name;
    if (ClientSend(s, HANDOFF_CHECK_FTP_CODE, {}) != 0 ||
        TakeReply(s, HANDOFF_CHECK_FTP_CODE, nullptr, nullptr) != 0 ||
        ClientTakeString(s, &name) != 0)
        return Broken();
    printf("%s\n", name.c_str());
    return CLIENT_DONE;
}

struct CommandShape {
    const char *name;
    size_t minArgs;  // words after the command
    size_t maxArgs;
};

static const CommandShape kCommands[] = {
    {"login", 0, 0},   {"share", 2, 3},          {"copy", 2, 3},    {"progress", 2, 2},
    {"kill", 1, 1},    {"finish", 1, 1},         {"abandon", 1, 1}, {"delete", 1, 1},
    {"history", 0, 1}, {"delete-history", 1, 1}, {"charset", 0, 0},
};

static int Dispatch(ClientSession *s, const ClientOptions *o, const std::vector<std::string> &a) {
    const std::string &c = a[0];
    if (c == "login") {
        printf("logged in as %s\n", o->user.c_str());
        return CLIENT_DONE;
    }
    if (c == "share") return Share(s, o, a);
    if (c == "copy") return Copy(s, a);
    if (c == "progress")
        return Progress(s, a[1], static_cast<uint32_t>(strtoul(a[2].c_str(), nullptr, 10)), 0);
    if (c == "kill") return SimpleCommand(s, HANDOFF_KILL_N2NCP, a[1], "kill", "copy stopped");
    if (c == "finish")
        return SimpleCommand(s, HANDOFF_REPORT_W2NCP_FINISH, a[1], "finish", "hand-off finished");
    if (c == "abandon")
        return SimpleCommand(s, HANDOFF_DELETE_TMP_SHARE, a[1], "abandon", "hand-off abandoned");
    if (c == "delete")
        return SimpleCommand(s, HANDOFF_DELETE_SHARED_FILES, a[1], "delete",
                             "shared files deleted");
    if (c == "history") return History(s, a.size() > 1 ? a[1] : o->user);
    return SimpleCommand(s, HANDOFF_DELETE_HISTORY, a[1], "delete-history", "history deleted");
}

int RunClientCommand(const ClientOptions *options, const std::vector<std::string> &args) {
    const CommandShape *shape = nullptr;
    for (const CommandShape &c : kCommands)
        if (args[0] == c.name) shape = &c;
    if (shape == nullptr || args.size() - 1 < shape->minArgs || args.size() - 1 > shape->maxArgs) {
        fprintf(stderr, "handoff_client: unknown command or wrong arguments: %s (try -h)\n",
                args[0].c_str());
        return CLIENT_USAGE;
    }
    ClientSession s;
    int result = ClientConnect(&s, options);
    if (result != 0) return result;
    if (args[0] == "charset") {
        result = Charset(&s);
    } else {
        result = Login(&s, options);
        if (result == CLIENT_DONE) result = Dispatch(&s, options, args);
    }
    if (result != CLIENT_BROKEN) Close(&s);
    ClientClose(&s);
    return result;
}
