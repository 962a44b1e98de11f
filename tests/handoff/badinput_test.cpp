// badinput_test.cpp -- parcelod under bad packets, injection attempts, silent and many clients.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "handoff_test_support.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

class BadInputTest : public HandoffServerTest {
  protected:
    void SetUp() override {
        HandoffServerTest::SetUp();
        ASSERT_TRUE(StartServer());
    }
    std::string NewShare(int fd) {
        uint32_t status = 99;
        std::vector<std::string> f = Share(fd, "alice", "photos", 10, &status);
        EXPECT_EQ(0u, status);
        return f.size() == 6 ? f[2] : "";
    }
    // The listener still answers a new client.
    bool ListenerServes() {
        int fd = Connect();
        return Ask(fd, 1, LoginPayload("alice", "wonder")) == Bytes({0x81, 0, 0, 0, 0});
    }
};

TEST_F(BadInputTest, ShortPayloadsReportABadPacketAndGoOn) {
    const struct {
        int code;
        Bytes payload;
        const char *message;
    } cases[] = {
        {1, Int(0x20090303), "Bad packet of command create_connection_packet!"},
        {3, Cat({Str("alice"), Str("f")}), "Bad packet of command create_tmp_share!"},
        {4, Str("/mnt/USB5/C:/photos"), "Bad packet of command n2ncp!"},
        {5, Bytes({0, 0}), "Bad packet of command kill_n2ncp!"},
        {6, Str("1"), "Bad packet of command check_n2ncp_rate!"},
        {7, {}, "Bad packet of command report_w2ncp_finish!"},
        {8, Bytes({0, 0, 0, 9, 'x'}), "Bad packet of command delete_tmp_share!"},
        {9, {}, "Bad packet of comamnd delete_shared_files!"},
        {10, Int(0xFFFFFFFF), "Bad packet of command read_history!"},
        {11, Cat({Int(0xFFFFFFF0), Str("x")}), "Bad packet of command delete_history!"},
    };
    int fd = LoggedIn();
    for (const auto &c : cases) {
        Send(fd, Packet(c.code, c.payload));
        EXPECT_TRUE(Silent(fd)) << c.code;
        EXPECT_TRUE(server->WaitForLine(c.message)) << c.message;
    }
    // every cut of a login, then the whole one still works on the same connection
    int other = Connect();
    Bytes login = LoginPayload("alice", "wonder");
    for (size_t cut = 0; cut < login.size(); cut++) {
        Send(other, Packet(1, Bytes(login.begin(), login.begin() + static_cast<long>(cut))));
    }
    EXPECT_TRUE(Silent(other));
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), Ask(other, 1, login));
}

TEST_F(BadInputTest, UnknownCodesEndOnlyTheirConnection) {
    for (int code : {0, 12, 14, 127}) {
        int fd = Connect();
        Send(fd, Packet(code, Str("x")));
        EXPECT_TRUE(Closed(fd)) << code;
    }
    EXPECT_TRUE(server->WaitForCount("Error: Analyse Packet Failed!", 4));
    EXPECT_EQ(4, server->Count("Bad packet!\n"));
    EXPECT_TRUE(ListenerServes());
}

TEST_F(BadInputTest, HeaderLengths) {
    int fd = Connect();
    Send(fd, Packet(13, {}));  // length 0
    EXPECT_EQ(Bytes({0x8D}), Read(fd, 1));
    EXPECT_EQ("ISO-8859-15", ReadString(fd));
    for (uint32_t length : {0x80000000u, 0xFFFFFFFFu, (1u << 20) + 1}) {
        int big = Connect();
        Bytes head = {13};
        Bytes n = Int(length);
        head.insert(head.end(), n.begin(), n.end());
        Send(big, head);
        EXPECT_TRUE(Closed(big)) << length;  // ended before anything is allocated
    }
    EXPECT_TRUE(ListenerServes());
}

TEST_F(BadInputTest, ReportFlagIsNotDispatched) {
    int fd = Connect();
    Send(fd, Packet(1, LoginPayload("alice", "wonder"), 1));
    EXPECT_TRUE(Silent(fd));
    EXPECT_TRUE(server->WaitForLine("Report the n2ncp finish!"));
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 255}), Ask(fd, 10, Str("alice")));  // still not logged in
}

TEST_F(BadInputTest, SilentAndStalledClientsAreDroppedAfterTheIdleTime) {
    server.reset();
    ASSERT_TRUE(StartServer({{"PARCELOD_IDLE_SECONDS", "2"}}));
    int silent = Connect();
    int stalled = Connect();
    Send(stalled, Bytes({10, 0, 0}));  // part of a header
    int half = Connect();
    Send(half, Bytes({10, 0, 0, 0, 20, 0}));  // a header and one payload byte
    EXPECT_TRUE(Closed(silent));
    EXPECT_TRUE(Closed(stalled));
    EXPECT_TRUE(Closed(half));
    EXPECT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    EXPECT_TRUE(ListenerServes());
}

TEST_F(BadInputTest, TwoHundredConnectionsLeaveNothingBehind) {
    ASSERT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    int descriptors = ServerDescriptors();
    std::vector<int> many;
    for (int i = 0; i < 200; i++) many.push_back(Connect());
    for (size_t i = 0; i < many.size(); i++) {
        if (i % 10 == 0) Send(many[i], Packet(1, LoginPayload("alice", "wonder")));
        if (i % 10 == 1) Send(many[i], Packet(99, {}));
        if (i % 10 == 2) Send(many[i], Bytes({10, 0}));
    }
    // One address gets 32 connection processes at once: the first 32 are
    // served, and the listener closes those beyond (a few more are served as
    // the unknown codes end theirs).
    for (size_t i = 0; i < 32; i += 10) EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), Read(many[i], 5)) << i;
    EXPECT_LE(ServerChildren().size(), 32u);
    EXPECT_TRUE(Closed(many[199]));
    for (int fd : fds) close(fd);  // the 200
    fds.clear();
    EXPECT_TRUE(
        harness::WaitUntil([&] { return ServerChildren().empty(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(ListenerServes());
    for (int fd : fds) close(fd);  // the listener's check
    fds.clear();
    EXPECT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    EXPECT_TRUE(harness::WaitUntil([&] { return descriptors == ServerDescriptors(); }))
        << descriptors << " before, " << ServerDescriptors() << " after";
}

TEST_F(BadInputTest, NoClientTextRunsAnything) {
    std::string marker = app->At("pwned");
    const std::string tricks[] = {
        "$(touch " + marker + ")",      "`touch " + marker + "`", "'; touch " + marker + "; '",
        "\"; touch " + marker + "; \"", "x|touch " + marker,      "x;touch " + marker + " #",
    };
    int fd = LoggedIn();
    for (const std::string &t : tricks) {
        std::string id = NewShare(fd);  // a hand-off is copied once
        uint32_t status;
        std::vector<std::string> f = Share(fd, t, t, 1, &status, t);
        EXPECT_EQ(6u, f.size());
        app->root.Write("mnt/USB5/C:/" + t.substr(0, 1) + "src" + t + "x/file", "data");
        Bytes source = Str("/mnt/USB5/C:/" + t.substr(0, 1) + "src" + t + "x");
        Send(fd, Packet(4, Cat({source, Str(id)})));
        Bytes reply = Read(fd, 5);
        EXPECT_EQ(Bytes({0x84, 0, 0, 0, 0}), reply);
        EXPECT_EQ(Cat({Bytes({0x0C, 0, 0, 0, 0}), Str(id)}), Read(fd, 29));
        app->root.Write(
            "mnt/USB5/C:/.storage_server_parcelo/.parcelo_tmp_share/!@][_" + id + "/again", "");
        for (int code : {5, 7, 8, 9, 11}) {
            Bytes r = Ask(fd, code, Str(t));
            EXPECT_EQ(5u, r.size()) << code;
        }
        Send(fd, Packet(6, Cat({Str(t), Int(10)})));
        EXPECT_EQ(9u, Read(fd, 9).size());
        EXPECT_EQ(5u, Ask(fd, 10, Str(t)).size());
    }
    EXPECT_TRUE(Silent(fd));
    EXPECT_FALSE(FileExists(marker));
}

TEST_F(BadInputTest, IdsAndSourcesThatLeaveTheirTreesAreRefused) {
    std::string config = app->At("nasext/main/cfg/parcelo/parcelo.conf");
    int fd = LoggedIn();
    std::string id = NewShare(fd);
    for (const char *bad : {"", "..", "../../../../../nasext/main/cfg/parcelo", "/", "a/b"}) {
        for (int code : {5, 7, 8, 9, 11})
            EXPECT_EQ(Bytes({static_cast<unsigned char>(0x80 | code), 0, 0, 0, 1}),
                      Ask(fd, code, Str(bad)))
                << code << " " << bad;
        EXPECT_EQ(Bytes({0x84, 0, 0, 0, 1}),
                  Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos"), Str(bad)})));
    }
    for (const char *source : {"/nasext/main/cfg", "/mnt/USB5/C:/../../nasext/main/cfg",
                               "/mnt/USB5/C:/.system_file/parcelo", "/dev", "photos"}) {
        EXPECT_EQ(Bytes({0x84, 0, 0, 0, 1}), Ask(fd, 4, Cat({Str(source), Str(id)}))) << source;
    }
    EXPECT_TRUE(FileExists(config));
    EXPECT_TRUE(FileExists(app->TmpShare(id)));
    EXPECT_TRUE(FileExists(app->FinalShare(id)));
}

TEST_F(BadInputTest, RecordTextsWithLineEndsAreRefused) {
    int fd = LoggedIn();
    uint32_t status = 99;
    for (const char *bad : {"bob]\nstatus\tSuccess", "[bob]", ""}) {
        Share(fd, bad, "f", 1, &status);
        EXPECT_EQ(1u, status) << bad;
    }
    Share(fd, "alice", "f\n[bob]", 1, &status);
    EXPECT_EQ(1u, status);
    Share(fd, "alice", "f", 1, &status, "t\r\nx");
    EXPECT_EQ(1u, status);
}

TEST_F(BadInputTest, JunkHistoryIsReadWithoutLeaks) {
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf",
                    "garbage\n[alice]\nfiles_id\t1\nsize\tlots\n[alice]\nfile_name\t" +
                        std::string(2 << 20, 'n') + "\n[bob\nstatus\tSuccess\n[alice]");
    int fd = LoggedIn();
    Send(fd, Packet(10, Str("alice")));
    EXPECT_EQ(Bytes({0x8A}), Read(fd, 1));
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0u, ReadInt(fd));
        EXPECT_EQ("alice", ReadString(fd));
        std::string name = ReadString(fd);
        EXPECT_EQ(i == 1 ? 501u : 0u, name.size());
        ReadString(fd);
        ReadInt(fd);
        ReadString(fd);
        EXPECT_EQ(i == 0 ? "1" : "", ReadString(fd));
        for (int k = 0; k < 3; k++) ReadString(fd);
        EXPECT_EQ("", ReadString(fd));  // status: bob's never reaches alice's record
        ReadString(fd);
    }
    EXPECT_EQ(2u, ReadInt(fd));
    EXPECT_TRUE(Silent(fd));
}

TEST_F(BadInputTest, KillSignalsOnlyCopiesOfThatId) {
    const std::string id = "98765432109876543210";
    // Two stand-in copies: one of the id, one of an id that begins like it.
    auto Copy = [&](const std::string &target) {
        return std::unique_ptr<harness::Process>(new harness::Process(
            {"bash", "-c",
             "exec -a cp perl -e 'sleep 120' /v/.parcelo_tmp_share/'" + target + "'"}));
    };
    auto mine = Copy("!@][_" + id);
    auto other = Copy("!@][_" + id + "1");
    ASSERT_TRUE(harness::WaitUntil([&] {
        return ReadFile("/proc/" + std::to_string(other->pid()) + "/cmdline").find("!@][_") !=
                   std::string::npos &&
               ReadFile("/proc/" + std::to_string(mine->pid()) + "/cmdline").find("!@][_") !=
                   std::string::npos;
    }));
    int fd = LoggedIn("admin", "secret");  // an id without a record: the administrator's call
    EXPECT_EQ(Bytes({0x85, 0, 0, 0, 0}), Ask(fd, 5, Str(id)));
    EXPECT_EQ(128 + SIGKILL, mine->WaitExit());
    EXPECT_TRUE(other->Running());
}

}  // namespace
