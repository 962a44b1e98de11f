// handoff_test_support.cpp -- appliance roots, network namespaces and the raw packet client.
#include "handoff_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "handoff_history.h"
#include "wire.h"

namespace handofftest {

const char kDefaultFlash[] =
    "USER_NAME=admin\nUSER_PASSWORD=secret\nNAS_USER_NAME=alice,bob\n"
    "NAS_USER_PASSWD=wonder,builder\nFTP_CLIENT_LANG=de\n";

Bytes Int(uint32_t v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

Bytes Str(const std::string &text) {
    Bytes b = Int(static_cast<uint32_t>(text.size()));
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Packet(int code, const Bytes &payload, int report) {
    Bytes b = {static_cast<unsigned char>(code | (report ? 0x80 : 0))};
    Bytes length = Int(static_cast<uint32_t>(payload.size()));
    b.insert(b.end(), length.begin(), length.end());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes LoginPayload(const std::string &user, const std::string &password, uint32_t version) {
    return Cat({Int(version), Str(user), Str(password)});
}

bool EnterOwnNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strcpy(ifr.ifr_name, "lo");
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (s >= 0) close(s);
    return up;
}

ApplianceRoot::ApplianceRoot(const std::string &flashSettings) {
    Flash(flashSettings);
    Df("/dev/hdd1", 1000000);
    root.Write("standin/ifconfig.out",
               "br0       Link encap:Ethernet  HWaddr 00:11:22:33:44:55\n"
               "          inet addr:192.168.1.20  Bcast:192.168.1.255  Mask:255.255.255.0\n");
    root.Write("bin/naslanguagetable.h", "en CP1252\nde ISO-8859-15\nja SHIFT-JIS\n");
    root.Write("mnt/USB5/C:/photos/a.jpg", std::string(5000, 'a'));
    root.Write("mnt/USB5/C:/photos/sub/b.jpg", std::string(7000, 'b'));
}

void ApplianceRoot::Flash(const std::string &settings) {
    std::string text = root.Write("flash.txt", settings);
    root.Write("dev/.keep", "");
    std::string cmd =
        harness::BinDir() + "/flashcfg make '" + text + "' '" + root.At("dev/mtd") + "' >/dev/null";
    ASSERT_EQ(0, system(cmd.c_str()));
}

void ApplianceRoot::Df(const std::string &devices, long long freeKb) {
    std::string text = "Filesystem     1K-blocks    Used Available Use% Mounted on\n";
    size_t start = 0;
    while (start < devices.size()) {
        size_t end = devices.find(',', start);
        if (end == std::string::npos) end = devices.size();
        std::string dev = devices.substr(start, end - start);
        std::string mnt = dev == "/dev/hdd1"   ? "/mnt/USB5/C"
                          : dev == "/dev/hdc1" ? "/mnt/USB6/C"
                                               : "/mnt/USB4/C";
        text += dev + "      976762584 1048576 " + std::to_string(freeKb) + "   1% " + mnt + "\n";
        start = end + 1;
    }
    root.Write("standin/df.out", text);
}

bool MountFileSystem(const std::string &folder, const char *size) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    std::string options = std::string("size=") + size;
    return mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool MountSmallVolume(ApplianceRoot *app, const char *size) {
    return MountFileSystem(app->Volume(), size);
}

std::string FillVolume(const std::string &folder) {
    std::string path = folder + "/filler";
    FILE *f = fopen(path.c_str(), "w");
    std::string chunk(4096, 'f');
    while (f && fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && fflush(f) == 0) {
    }
    if (f) fclose(f);
    return path;
}

std::string AliceHistory(int records, char firstDigit, int sizeKb, size_t nameLength) {
    std::string text;
    for (int i = 0; i < records; i++) {
        HistoryRecord r;
        r.section = "alice";
        r.type = "folder";
        r.size = std::to_string(sizeKb);
        char id[32];
        snprintf(id, sizeof(id), "%c%019d", firstDigit, i);
        r.filesId = id;
        r.fileName = std::string(nameLength, 'n');
        r.status = "Success";
        text += FormatHistoryRecord(r);
    }
    return text;
}

void HandoffServerTest::SetUp() {
    EnterOwnNetwork();
    app.reset(new ApplianceRoot());
}

void HandoffServerTest::TearDown() {
    for (int fd : fds) close(fd);
    server.reset();
}

bool HandoffServerTest::StartServer(const std::map<std::string, std::string> &env) {
    std::map<std::string, std::string> all = {{"NAS_ROOT", app->root.path()},
                                              {"PARCELOD_RETRY_SECONDS", "0"}};
    for (const auto &e : env) all[e.first] = e.second;
    server.reset(new harness::Process({harness::BinDir() + "/parcelod"}, all));
    int fd = -1;
    harness::WaitUntil([&] {
        fd = wire::Dial(0);
        return fd >= 0 || !server->Running();
    });
    if (fd < 0) return false;
    // The probe is a client like any other: close it properly.
    Send(fd, Packet(2, {}));
    Read(fd, 5);
    close(fd);
    return true;
}

int HandoffServerTest::Connect() {
    int fd = wire::Dial(0);
    EXPECT_GE(fd, 0);
    if (fd >= 0) fds.push_back(fd);
    return fd;
}

void HandoffServerTest::Send(int fd, const Bytes &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

Bytes HandoffServerTest::Read(int fd, size_t n) {
    Bytes out;
    auto end = harness::Clock::now() + harness::kDefaultWait;
    while (out.size() < n && harness::Clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        unsigned char buf[65536];
        ssize_t got = read(fd, buf, std::min(sizeof(buf), n - out.size()));
        if (got <= 0) return Bytes();
        out.insert(out.end(), buf, buf + got);
    }
    return out.size() == n ? out : Bytes();
}

bool HandoffServerTest::Closed(int fd) {
    auto end = harness::Clock::now() + harness::kDefaultWait;
    while (harness::Clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        unsigned char b;
        ssize_t got = read(fd, &b, 1);
        if (got <= 0) return true;
    }
    return false;
}

bool HandoffServerTest::Silent(int fd) {
    // Ends with a request that is always answered: what came before it is
    // what the server sent for the earlier requests.
    Send(fd, Packet(13, {}));
    Bytes head = Read(fd, 1);
    if (head.size() != 1 || head[0] != 0x8D) return false;
    ReadString(fd);
    return true;
}

Bytes HandoffServerTest::Ask(int fd, int code, const Bytes &payload) {
    Send(fd, Packet(code, payload));
    return Read(fd, 5);
}

int HandoffServerTest::LoggedIn(const std::string &user, const std::string &password) {
    int fd = Connect();
    Bytes reply = Ask(fd, 1, LoginPayload(user, password));
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), reply);
    return fd;
}

uint32_t HandoffServerTest::ReadInt(int fd) {
    Bytes b = Read(fd, 4);
    if (b.size() != 4) return 0xdeadbeef;
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

std::string HandoffServerTest::ReadString(int fd) {
    uint32_t n = ReadInt(fd);
    if (n == 0 || n == 0xdeadbeef) return "";
    Bytes b = Read(fd, n);
    return std::string(b.begin(), b.end());
}

std::vector<std::string> HandoffServerTest::Share(int fd, const std::string &user,
                                                  const std::string &name, uint32_t size,
                                                  uint32_t *status, const std::string &type) {
    Bytes head = Ask(fd, 3, Cat({Str(user), Str(name), Int(size), Str(type)}));
    if (head.size() != 5 || head[0] != 0x83) return {};
    *status =
        (uint32_t(head[1]) << 24) | (uint32_t(head[2]) << 16) | (uint32_t(head[3]) << 8) | head[4];
    std::vector<std::string> fields;
    for (int i = 0; i < 6; i++) fields.push_back(ReadString(fd));
    return fields;
}

std::vector<int> HandoffServerTest::ServerChildren() {
    std::vector<int> children;
    for (const harness::ProcEntry &p : harness::ProcessTable()) {
        if (p.ppid == server->pid()) children.push_back(p.pid);
    }
    return children;
}

int HandoffServerTest::ServerDescriptors() {
    int count = 0;
    DIR *d = opendir(("/proc/" + std::to_string(server->pid()) + "/fd").c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] != '.') count++;
    }
    if (d) closedir(d);
    return count;
}

}  // namespace handofftest
