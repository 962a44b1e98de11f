// limits_test.cpp -- what one client cannot do to the appliance: hold it with
// connections or trickled bytes, stall logins on the flash lock, leak the
// flash reader count, leave zombies, overflow counters, or reach files
// through links and modes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "handoff_history.h"
#include "handoff_test_support.h"
#include "wire.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

class LimitsTest : public HandoffServerTest {
  protected:
    // Starts the server and waits until its start-up probe has gone, so that
    // the next connection's process is the only child.
    void Start(const std::map<std::string, std::string> &env = {}) {
        ASSERT_TRUE(StartServer(env));
        ASSERT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    }
    int OnlyChild() {
        std::vector<int> children;
        harness::WaitUntil([&] { return (children = ServerChildren()).size() == 1; });
        return children.size() == 1 ? children[0] : -1;
    }
    // Processes whose parent is pid, zombies only.
    int Zombies(int pid) {
        harness::RunResult r = harness::Run(
            {"sh", "-c", "ps -o stat= --ppid " + std::to_string(pid) + " | grep -c '^Z'"});
        return atoi(r.output.c_str());
    }
};

// 1 when pid waits in a sleep system call.
bool Sleeping(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    in >> number;
#if defined(__x86_64__)
    return number == 35 || number == 230;
#elif defined(__aarch64__)
    return number == 101 || number == 115;
#else
    return number >= 0;
#endif
}

// 1 when pid waits to write a socket.
bool Sending(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    in >> number;
#if defined(__x86_64__)
    return number == 44 || number == 1;
#elif defined(__aarch64__)
    return number == 206 || number == 64;
#else
    return number >= 0;
#endif
}

// Byte 0 (readers) of the flash lock's segment for the device at path.
int FlashReaders(const std::string &path) {
    key_t key = ftok(path.c_str(), 'a');
    int id = key == -1 ? -1 : shmget(key, 2, 0);
    if (id == -1) return -1;
    unsigned char *at = static_cast<unsigned char *>(shmat(id, nullptr, SHM_RDONLY));
    if (at == reinterpret_cast<unsigned char *>(-1)) return -1;
    int readers = at[0];
    shmdt(at);
    return readers;
}

TEST_F(LimitsTest, ConnectionsOfOneAddressAreBounded) {
    Start();
    std::vector<int> held;
    for (int i = 0; i < 32; i++) held.push_back(LoggedIn());
    int extra = Connect();
    EXPECT_TRUE(Closed(extra));
    close(held.back());
    fds.erase(std::find(fds.begin(), fds.end(), held.back()));
    ASSERT_TRUE(harness::WaitUntil([&] { return ServerChildren().size() == 31; }));
    LoggedIn();
    EXPECT_TRUE(server->WaitForLine("Too many connections, refused one from 127.0.0.1!"));
}

TEST_F(LimitsTest, ARequestTrickledByteByByteGetsOneIdleTime) {
    Start({{"PARCELOD_IDLE_SECONDS", "2"}});
    int fd = Connect();
    std::atomic<bool> stop(false);
    // One byte of a long request every 0.7 s: each read would re-arm a
    // per-read alarm for ever.
    std::thread trickle([&] {
        Bytes request = Packet(3, Bytes(1000, 'x'));
        for (size_t i = 0; i < request.size() && !stop; i++) {
            if (send(fd, &request[i], 1, MSG_NOSIGNAL) != 1) break;
            usleep(700000);
        }
    });
    EXPECT_TRUE(Closed(fd));
    stop = true;
    trickle.join();
}

TEST_F(LimitsTest, TheAlarmIsOffWhileACommandRuns) {
    // The third failed login is answered 3 s late, past the idle time.
    Start({{"PARCELOD_IDLE_SECONDS", "1"}});
    int fd = Connect();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Bytes({0x81, 0, 0, 0, 2}), Ask(fd, 1, LoginPayload("bob", "x"))) << i;
}

TEST_F(LimitsTest, AHangupDuringACommandIsServedAfterIt) {
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf",
                    AliceHistory(20000, '1', 1, 200));
    Start();
    int fd = wire::Dial(4096);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    ASSERT_EQ(0, wire::Login(fd, "alice", "wonder"));
    int child = OnlyChild();
    // The history fills the socket: the command waits in a write.
    ASSERT_TRUE(wire::SendAll(fd, wire::Request(10, wire::Str("alice"))));
    ASSERT_TRUE(harness::WaitUntil([&] { return Sending(child); }));
    app->root.Write("nasext/main/cfg/parcelo/parcelo.conf",
                    "\t\tinternet_addr\tnas.example.net\n\t\ttarget_hdd\tHDD1\n");
    kill(child, SIGHUP);
    ASSERT_EQ(0, wire::ReplyStatus(fd, 10));
    for (uint32_t word = 0; word == 0;) {
        std::string text;
        uint32_t size;
        for (int i = 0; i < 3; i++) ASSERT_TRUE(wire::ReadStr(fd, &text));
        ASSERT_TRUE(wire::ReadU32(fd, &size));
        for (int i = 0; i < 7; i++) ASSERT_TRUE(wire::ReadStr(fd, &text));
        ASSERT_TRUE(wire::ReadU32(fd, &word));
    }
    uint32_t status = 99;
    std::vector<std::string> f = Share(fd, "alice", "x", 1, &status);
    ASSERT_EQ(6u, f.size());
    EXPECT_EQ(0u, f[4].find("ftp://nas.example.net/")) << f[4];
}

TEST_F(LimitsTest, TheListenerTakesTheSystemsBacklog) {
    Start();
    harness::RunResult ss = harness::Run({"ss", "-ltnH", "sport = :13367"});
    std::string somaxconn = ReadFile("/proc/sys/net/core/somaxconn");
    somaxconn.erase(somaxconn.find_last_not_of("\n") + 1);
    char state[32];
    unsigned recvQ, sendQ;
    ASSERT_EQ(3, sscanf(ss.output.c_str(), "%31s %u %u", state, &recvQ, &sendQ)) << ss.output;
    EXPECT_EQ(somaxconn, std::to_string(sendQ)) << ss.output;
}

TEST_F(LimitsTest, ALoginIsAnsweredSoonAfterTheFlashGuardIsFree) {
    Start();
    harness::Process guard({harness::BinDir() + "/flash_writer", "-g"},
                           {{"NAS_ROOT", app->root.path()}});
    ASSERT_TRUE(guard.WaitForLine("flash_writer: holding the guard"));
    int fd = Connect();
    Send(fd, Packet(1, LoginPayload("alice", "wonder")));
    int child = OnlyChild();
    ASSERT_TRUE(harness::WaitUntil([&] { return Sleeping(child); }));  // waiting for the guard
    guard.Signal(SIGTERM);
    ASSERT_TRUE(guard.WaitForLine("flash_writer: released"));
    wire::Bytes reply;
    EXPECT_TRUE(wire::ReadAll(fd, 5, &reply, 2000));  // looked at again within milliseconds
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), reply);
}

TEST_F(LimitsTest, AProcessEndedWhileCountedAsReaderGivesTheCountBack) {
    Start();
    signal(SIGPIPE, SIG_IGN);
    std::string device = app->At("dev/mtd");
    ASSERT_EQ(0, rename(device.c_str(), (device + ".image").c_str()));
    ASSERT_EQ(0, mkfifo(device.c_str(), 0666));
    int fd = Connect();
    Send(fd, Packet(13, {}));  // reads the flash again: opens the device and waits
    int child = OnlyChild();
    ASSERT_TRUE(harness::WaitUntil([&] { return FlashReaders(device) == 1; }));
    kill(child, SIGTERM);
    // The device's bytes arrive; the read ends, and the process with it.
    int writer = open(device.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        fcntl(writer, F_SETFL, 0);
        std::string image = ReadFile(device + ".image");
        ssize_t ignored = write(writer, image.data(), image.size());
        (void)ignored;
        close(writer);
    }
    EXPECT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    EXPECT_EQ(0, FlashReaders(device));
}

TEST_F(LimitsTest, FinishedCopiesAreReapedAtOnce) {
    Start();
    int fd = LoggedIn();
    int child = OnlyChild();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 12, &id));
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 0}), Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos"), Str(id)})));
    EXPECT_EQ(Cat({Bytes({0x0C, 0, 0, 0, 0}), Str(id)}), Read(fd, 29));
    EXPECT_TRUE(harness::WaitUntil([&] { return Zombies(child) == 0; }));
}

TEST_F(LimitsTest, ProgressStaysWithinOneHundredPercent) {
    Start();
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 10, &id));
    app->root.Write("mnt/USB5/C:/.storage_server_parcelo/.parcelo_tmp_share/!@][_" + id + "/big",
                    std::string(200000, 'b'));
    EXPECT_EQ(Bytes({0x86, 0, 0, 0, 0}), Ask(fd, 6, Cat({Str(id), Int(10)})));
    EXPECT_EQ(10000u, ReadInt(fd));
}

TEST_F(LimitsTest, ANameLongerThanTheRecordsSectionIsRefused) {
    Start();
    int fd = LoggedIn("admin", "secret");
    std::string id;
    EXPECT_EQ(1, wire::Share(fd, std::string(21, 'n'), 5, &id));
    EXPECT_EQ(0, wire::Share(fd, std::string(20, 'n'), 5, &id));
}

TEST_F(LimitsTest, HugeCountersAreClampedNotWrapped) {
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_status.conf",
                    "total_available_space\t99999999999999999999999\n[alice]\n"
                    "user_available_space\t99999999999999999999999\n");
    Start();
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 5, &id));
    std::string status = ReadFile(app->StatusFile());
    std::string clamped = std::to_string((1LL << 60) + 5);
    EXPECT_EQ(0u, status.find("total_available_space\t" + clamped +
                              "\n[alice]\n"
                              "user_available_space\t" +
                              clamped + "\n"))
        << status;
}

TEST_F(LimitsTest, ASourceThroughALinkIsRefused) {
    Start();
    ASSERT_EQ(0, symlink(app->Volume("photos").c_str(), app->Volume("linked").c_str()));
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 5, &id));
    for (const char *source : {"/mnt/USB5/C:/linked", "/mnt/USB5/C:/linked/sub"})
        EXPECT_EQ(Bytes({0x84, 0, 0, 0, 1}), Ask(fd, 4, Cat({Str(source), Str(id)}))) << source;
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 0}),
              Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos/sub"), Str(id)})));
    EXPECT_EQ(Cat({Bytes({0x0C, 0, 0, 0, 0}), Str(id)}), Read(fd, 29));
    EXPECT_TRUE(FileExists(app->FinalShare(id) + "/sub/b.jpg"));
}

TEST_F(LimitsTest, ANewShareLeavesOtherUploadsTheirModes) {
    Start();
    int alice = LoggedIn(), bob = LoggedIn("bob", "builder");
    std::string hers;
    ASSERT_EQ(0, wire::Share(alice, "alice", 5, &hers));
    std::string secret = app->TmpShare(hers) + "/secret.txt";
    app->root.Write(
        "mnt/USB5/C:/.storage_server_parcelo/.parcelo_tmp_share/!@][_" + hers + "/secret.txt",
        "private");
    ASSERT_EQ(0, chmod(secret.c_str(), 0600));
    std::string his;
    ASSERT_EQ(0, wire::Share(bob, "bob", 5, &his));
    struct stat st;
    ASSERT_EQ(0, stat(secret.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(app->TmpShare(his).c_str(), &st));
    EXPECT_EQ(0777u, st.st_mode & 07777);
}

}  // namespace
