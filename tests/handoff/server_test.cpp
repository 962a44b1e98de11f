// server_test.cpp -- parcelod over real TCP: start-up, login, every command's reply bytes,
// the files they change, and a whole hand-off with the copy notice.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include "handoff_test_support.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

class ServerTest : public HandoffServerTest {
  protected:
    void Start() { ASSERT_TRUE(StartServer()); }
    uint32_t Status(const Bytes &reply) {
        return reply.size() < 5 ? 0xdeadbeef
                                : (uint32_t(reply[1]) << 24) | (uint32_t(reply[2]) << 16) |
                                      (uint32_t(reply[3]) << 8) | reply[4];
    }
    // A share for alice of size kilobytes; returns its filesId.
    std::string NewShare(int fd, uint32_t size = 100, const std::string &user = "alice") {
        uint32_t status = 99;
        std::vector<std::string> f = Share(fd, user, "photos", size, &status);
        EXPECT_EQ(0u, status);
        return f.size() == 6 ? f[2] : "";
    }
};

bool IsFilesId(const std::string &id) {
    return id.size() == 20 && id.find_first_not_of("0123456789") == std::string::npos;
}

// "%d/%d/%d %d:%d:%d" with a four-digit year and nothing after it.
bool IsHandoffTime(const std::string &t) {
    int y, mo, d, h, mi, se, end = -1;
    return sscanf(t.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &se, &end) == 6 &&
           end == static_cast<int>(t.size()) && y > 2000;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

const char kDefaultConfig[] =
    "\t\teffective_days  30\n\t\tinternet_addr\t192.168.1.20\n\t\tlimit_space     0\n"
    "\t\ttarget_hdd\tHDD1\n\t\ttotal_space\tunlimited\n\t\teach_user_max_space\tunlimited\n";

TEST_F(ServerTest, FirstStartWritesTheDefaultFileAndPrefersHdd1) {
    app->Df("/dev/md0,/dev/hdd1", 5000);
    Start();
    EXPECT_EQ(kDefaultConfig, ReadFile(app->At("nasext/main/cfg/parcelo/parcelo.conf")));
    EXPECT_NE(std::string::npos, app->Calls().find("addgroup PARCELO+\n"));
    struct stat st;
    EXPECT_EQ(0, stat(app->Volume(".storage_server_parcelo/.parcelo_tmp_share").c_str(), &st));
    EXPECT_EQ(0, stat(app->Volume(".storage_server_parcelo/.parcelo_final_share").c_str(), &st));
}

TEST_F(ServerTest, StartUpFailures) {
    app->root.Write("nasext/main/cfg/parcelo/parcelo.conf", "\t\teffective_days  30\n");
    app->Df("/dev/sda1", 5000);
    server.reset(
        new harness::Process({harness::BinDir() + "/parcelod"}, {{"NAS_ROOT", app->root.path()}}));
    EXPECT_EQ(0, server->WaitExit());
    EXPECT_NE(std::string::npos, server->Output().find("Error: Create shared folder failed!\n"));

    unlink(app->At("dev/mtd").c_str());
    server.reset(
        new harness::Process({harness::BinDir() + "/parcelod"}, {{"NAS_ROOT", app->root.path()}}));
    EXPECT_EQ(1, server->WaitExit());
    EXPECT_NE(std::string::npos, server->Output().find("Initialize settings store failed!\n"));
}

TEST_F(ServerTest, ASecondListenerCannotBind) {
    Start();
    harness::Process second({harness::BinDir() + "/parcelod"}, {{"NAS_ROOT", app->root.path()}});
    EXPECT_EQ(0, second.WaitExit());
    EXPECT_NE(std::string::npos, second.Output().find("Bind: Address already in use\n"));
    EXPECT_TRUE(server->Running());
}

TEST_F(ServerTest, LoginTable) {
    Start();
    struct Case {
        std::string user, password;
        uint32_t version, status;
    } cases[] = {
        {"admin", "secret", 0x20090303, 0}, {"alice", "wonder", 0x20090303, 0},
        {"bob", "builder", 0x20090303, 0},  {"bob", "wonder", 0x20090303, 2},
        {"carol", "", 0x20090303, 2},       {"", "", 0x20090303, 2},
        {"alice", "wonder", 0x20090302, 1},
    };
    for (const Case &c : cases) {
        int fd = Connect();
        EXPECT_EQ(Bytes({0x81, 0, 0, 0, static_cast<unsigned char>(c.status)}),
                  Ask(fd, 1, LoginPayload(c.user, c.password, c.version)))
            << c.user << "/" << c.password;
    }
    EXPECT_TRUE(server->WaitForLine("Error: Wrong Version!"));
    EXPECT_TRUE(server->WaitForLine("Error: user name and password failed!"));
}

TEST_F(ServerTest, EmptyAccountEntriesLetNobodyIn) {
    app->Flash("USER_NAME=\nUSER_PASSWORD=\nNAS_USER_NAME=alice,,bob\nNAS_USER_PASSWD=a,,b\n");
    Start();
    int fd = Connect();
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 2}), Ask(fd, 1, LoginPayload("", "")));
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), Ask(fd, 1, LoginPayload("bob", "b")));
}

TEST_F(ServerTest, SecondLoginLogsOut) {
    Start();
    int fd = LoggedIn();
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 255}), Ask(fd, 1, LoginPayload("alice", "wonder")));
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 255}), Ask(fd, 10, Str("alice")));
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), Ask(fd, 1, LoginPayload("alice", "wonder")));
}

TEST_F(ServerTest, EveryCommandNeedsALogin) {
    Start();
    int fd = Connect();
    Bytes id = Str("12345678901234567890");
    Bytes share = Ask(fd, 3, Cat({Str("alice"), Str("f"), Int(1), Str("t")}));
    EXPECT_EQ(Bytes({0x83, 0, 0, 0, 255}), share);
    EXPECT_EQ(Bytes(24, 0), Read(fd, 24));  // six empty strings
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 255}), Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos"), id})));
    EXPECT_EQ(Bytes({0x85, 0, 0, 0, 255}), Ask(fd, 5, id));
    EXPECT_EQ(Bytes({0x86, 0, 0, 0, 255}), Ask(fd, 6, Cat({id, Int(10)})));
    EXPECT_EQ(Bytes({0x87, 0, 0, 0, 255}), Ask(fd, 7, id));
    EXPECT_EQ(Bytes({0x88, 0, 0, 0, 255}), Ask(fd, 8, id));
    EXPECT_EQ(Bytes({0x89, 0, 0, 0, 255}), Ask(fd, 9, id));
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 255}), Ask(fd, 10, Str("alice")));
    EXPECT_EQ(Bytes({0x8B, 0, 0, 0, 255}), Ask(fd, 11, id));
    EXPECT_TRUE(Silent(fd));
    EXPECT_EQ(Bytes({0x82, 0, 0, 0, 0}), Ask(fd, 2, {}));
    EXPECT_TRUE(Closed(fd));
    EXPECT_FALSE(FileExists(app->StatusFile()));
    EXPECT_FALSE(FileExists(app->HistoryFile()));
}

TEST_F(ServerTest, CreateTmpShareReplyAndFiles) {
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_status.conf",
                    "total_available_space\t10\n[bob]\nuser_available_space\t10\n");
    Start();
    int fd = LoggedIn();
    uint32_t status = 99;
    std::vector<std::string> f = Share(fd, "alice", "holiday", 300, &status, "folder");
    ASSERT_EQ(6u, f.size());
    EXPECT_EQ(0u, status);
    const std::string id = f[2];
    EXPECT_TRUE(IsFilesId(id)) << id;
    EXPECT_EQ("PARCELO_TMP_SHARE\\!@][_" + id + "\\", f[0]);
    EXPECT_EQ("PARCELO_TMP_SHARE/!@][_" + id + "/", f[1]);
    EXPECT_TRUE(IsHandoffTime(f[3])) << f[3];
    EXPECT_EQ("ftp://192.168.1.20/PARCELO_FINAL_SHARE/!@][_" + id, f[4]);
    EXPECT_EQ("\\\\192.168.1.20\\PARCELO_FINAL_SHARE\\!@][_" + id, f[5]);
    EXPECT_TRUE(FileExists(app->TmpShare(id)));
    EXPECT_TRUE(FileExists(app->FinalShare(id)));
    EXPECT_EQ(
        "total_available_space\t310\n[alice]\nuser_available_space\t300\n"
        "[bob]\nuser_available_space\t10\n",
        ReadFile(app->StatusFile()));
    std::string pending = ReadFile(app->Volume(".system_file/parcelo/history_" + id + ".tmp"));
    std::vector<std::string> lines = Lines(pending);
    ASSERT_EQ(11u, lines.size()) << pending;
    EXPECT_EQ('\n', pending.back());
    EXPECT_EQ("[alice]", lines[0]);
    EXPECT_EQ("type\tfolder", lines[1]);
    EXPECT_EQ("size\t300", lines[2]);
    EXPECT_EQ(0u, lines[3].find("send_time\t"));
    EXPECT_TRUE(IsHandoffTime(lines[3].substr(10))) << lines[3];
    EXPECT_EQ("file_name\tholiday", lines[4]);
    EXPECT_EQ("files_id\t" + id, lines[5]);
    EXPECT_EQ("internet_link\t" + f[4], lines[6]);
    EXPECT_EQ("lan_link\t" + f[5], lines[7]);
    EXPECT_EQ("expired_time\t" + f[3], lines[8]);
    EXPECT_EQ("status\t", lines[9]);
    EXPECT_EQ("email_path\t", lines[10]);
}

TEST_F(ServerTest, SpaceChecks) {
    app->Df("/dev/hdd1", 500);
    Start();
    int fd = LoggedIn();
    uint32_t status = 99;
    Share(fd, "alice", "f", 500, &status);
    EXPECT_EQ(1u, status);  // exactly the free space is refused
    Share(fd, "alice", "f", 499, &status);
    EXPECT_EQ(0u, status);
    app->Df("/dev/hdd1", 0);
    Share(fd, "alice", "f", 1, &status);
    EXPECT_EQ(1u, status);
}

TEST_F(ServerTest, SpaceChecksWithLimits) {
    app->root.Write("nasext/main/cfg/parcelo/parcelo.conf",
                    "\t\ttarget_hdd\tHDD1\n\t\ttotal_space\t1000\n\t\teach_user_max_space\t500\n");
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_status.conf",
                    "total_available_space\t400\n[alice]\nuser_available_space\t200\n");
    Start();
    int fd = LoggedIn();
    uint32_t status = 99;
    Share(fd, "alice", "f", 300, &status);
    EXPECT_EQ(1u, status);
    Share(fd, "alice", "f", 299, &status);
    EXPECT_EQ(0u, status);
    EXPECT_EQ("total_available_space\t699\n[alice]\nuser_available_space\t499\n",
              ReadFile(app->StatusFile()));
}

TEST_F(ServerTest, WholeHandOffWithCopyNotice) {
    Start();
    int fd = LoggedIn();
    std::string id = NewShare(fd, 12);
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 0}), Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos"), Str(id)})));
    EXPECT_EQ(Cat({Bytes({0x0C, 0, 0, 0, 0}), Str(id)}), Read(fd, 5 + 4 + 20));
    std::string copy = app->FinalShare(id) + "/photos";
    EXPECT_EQ(0, system(("diff -r '" + app->Volume("photos") + "' '" + copy + "'").c_str()));
    EXPECT_FALSE(FileExists(app->TmpShare(id)));
    // progress of a finished copy: du finds nothing, so 100%
    EXPECT_EQ(Bytes({0x86, 0, 0, 0, 0}), Ask(fd, 6, Cat({Str(id), Int(12)})));
    EXPECT_EQ(10000u, ReadInt(fd));
    std::string history = ReadFile(app->HistoryFile());
    EXPECT_EQ(0u, history.find("[alice]\ntype\tfolder\nsize\t12\n")) << history;
    EXPECT_NE(std::string::npos, history.find("\nstatus\tSuccess\nemail_path\t\n"));
    EXPECT_FALSE(FileExists(app->Volume(".system_file/parcelo/history_" + id + ".tmp")));
}

TEST_F(ServerTest, ProgressOfAnEmptyShareIsZero) {
    Start();
    int fd = LoggedIn();
    std::string id = NewShare(fd);
    EXPECT_EQ(Bytes({0x86, 0, 0, 0, 0}), Ask(fd, 6, Cat({Str(id), Int(1000)})));
    EXPECT_EQ(0u, ReadInt(fd));                   // du says 4 for the empty folder
    Send(fd, Packet(6, Cat({Str(id), Int(0)})));  // total 0: a bad packet, no reply
    EXPECT_TRUE(Silent(fd));
    EXPECT_TRUE(server->WaitForLine("Bad packet of command check_n2ncp_rate!"));
}

TEST_F(ServerTest, HistoryRecordsNewestFirstAndEndMark) {
    Start();
    int fd = LoggedIn();
    std::string first = NewShare(fd, 10);
    std::string second = NewShare(fd, 20);
    EXPECT_EQ(Bytes({0x87, 0, 0, 0, 0}), Ask(fd, 7, Str(first)));
    EXPECT_EQ(Bytes({0x87, 0, 0, 0, 0}), Ask(fd, 7, Str(second)));
    Send(fd, Packet(10, Str("alice")));
    EXPECT_EQ(Bytes({0x8A}), Read(fd, 1));
    for (const std::string &id : {second, first}) {
        EXPECT_EQ(0u, ReadInt(fd));
        EXPECT_EQ("alice", ReadString(fd));
        EXPECT_EQ("photos", ReadString(fd));
        EXPECT_EQ("folder", ReadString(fd));
        EXPECT_EQ(id == first ? 10u : 20u, ReadInt(fd));
        ReadString(fd);  // send_time
        EXPECT_EQ(id, ReadString(fd));
        EXPECT_EQ("ftp://192.168.1.20/PARCELO_FINAL_SHARE/!@][_" + id, ReadString(fd));
        EXPECT_EQ("\\\\192.168.1.20\\PARCELO_FINAL_SHARE\\!@][_" + id, ReadString(fd));
        ReadString(fd);  // expired_time
        EXPECT_EQ("Success", ReadString(fd));
        EXPECT_EQ("", ReadString(fd));
    }
    EXPECT_EQ(2u, ReadInt(fd));
    EXPECT_TRUE(Silent(fd));
    // a user without records: exactly 0x8A and status 2
    int bob = LoggedIn("bob", "builder");
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 2}), Ask(bob, 10, Str("bob")));
    EXPECT_TRUE(Silent(bob));
}

TEST_F(ServerTest, ReadHistoryWithoutFileIsStatusOne) {
    Start();
    int fd = LoggedIn();
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 1}), Ask(fd, 10, Str("alice")));
}

TEST_F(ServerTest, FinishWithoutFolderIsFailed) {
    Start();
    int fd = LoggedIn();
    std::string id = NewShare(fd, 10);
    system(("rm -rf '" + app->TmpShare(id) + "'").c_str());
    EXPECT_EQ(Bytes({0x87, 0, 0, 0, 1}), Ask(fd, 7, Str(id)));
    EXPECT_NE(std::string::npos, ReadFile(app->HistoryFile()).find("status\tFailed\n"));
}

TEST_F(ServerTest, DeleteTmpShareGivesSpaceBack) {
    Start();
    int fd = LoggedIn();
    std::string id = NewShare(fd, 70);
    EXPECT_EQ(Bytes({0x88, 0, 0, 0, 0}), Ask(fd, 8, Str(id)));
    EXPECT_FALSE(FileExists(app->TmpShare(id)));
    EXPECT_FALSE(FileExists(app->FinalShare(id)));
    EXPECT_FALSE(FileExists(app->Volume(".system_file/parcelo/history_" + id + ".tmp")));
    EXPECT_EQ(
        "total_available_space\t0\n[alice]\nuser_available_space\t0\n"
        "[bob]\nuser_available_space\t0\n",
        ReadFile(app->StatusFile()));
}

TEST_F(ServerTest, DeleteSharedFilesAndDeleteHistory) {
    Start();
    int fd = LoggedIn("admin", "secret");  // the administrator acts for every account
    std::string a = NewShare(fd, 10), b = NewShare(fd, 20, "bob"), c = NewShare(fd, 30);
    for (const std::string &id : {a, b, c}) EXPECT_EQ(0u, Status(Ask(fd, 7, Str(id))));
    ASSERT_TRUE(harness::WaitUntil([&] { return !FileExists(app->TmpShare(c)); }));
    EXPECT_EQ(Bytes({0x89, 0, 0, 0, 0}), Ask(fd, 9, Str(a)));
    EXPECT_FALSE(FileExists(app->FinalShare(a)));
    EXPECT_TRUE(server->WaitForLine("the file id is " + a));
    EXPECT_EQ(Bytes({0x8B, 0, 0, 0, 0}), Ask(fd, 11, Str(b)));
    EXPECT_TRUE(server->WaitForLine("error: 0"));
    EXPECT_FALSE(FileExists(app->FinalShare(b)));
    EXPECT_TRUE(FileExists(app->FinalShare(c)));
    std::string history = ReadFile(app->HistoryFile());
    EXPECT_EQ(std::string::npos, history.find(a));
    EXPECT_EQ(std::string::npos, history.find(b));
    EXPECT_EQ(0u, history.find("[alice]\ntype\tfolder\nsize\t30\n"));
    // the last change was bob's: his section comes first
    EXPECT_EQ(
        "total_available_space\t30\n[bob]\nuser_available_space\t0\n"
        "[alice]\nuser_available_space\t30\n",
        ReadFile(app->StatusFile()));
}

TEST_F(ServerTest, CheckFtpCode) {
    Start();
    int fd = Connect();
    Send(fd, Packet(13, Str("anything at all")));
    EXPECT_EQ(Bytes({0x8D}), Read(fd, 1));
    EXPECT_EQ("ISO-8859-15", ReadString(fd));
    app->Flash("USER_NAME=admin\nUSER_PASSWORD=secret\nFTP_CLIENT_LANG=ko\n");
    Send(fd, Packet(13, {}));
    EXPECT_EQ(Bytes({0x8D}), Read(fd, 1));
    EXPECT_EQ("CP1252", ReadString(fd));  // no line for the code
    app->Flash("USER_NAME=admin\nUSER_PASSWORD=secret\nFTP_CLIENT_LANG=ja\n");
    unlink(app->At("bin/naslanguagetable.h").c_str());
    Send(fd, Packet(13, {}));
    EXPECT_EQ(Bytes({0x8D}), Read(fd, 1));
    EXPECT_EQ("CP1252", ReadString(fd));  // no table
}

TEST_F(ServerTest, HangupRereadsTheConfigurationForLaterConnections) {
    Start();
    int before = LoggedIn();
    app->root.Write("nasext/main/cfg/parcelo/parcelo.conf",
                    "\t\tinternet_addr\tnas.example.net\n\t\ttarget_hdd\tHDD1\n");
    server->Signal(SIGHUP);
    uint32_t status;
    std::vector<std::string> f;
    ASSERT_TRUE(harness::WaitUntil([&] {
        int fd = LoggedIn();
        f = Share(fd, "alice", "x", 1, &status);
        return f.size() == 6 && f[4].find("nas.example.net") != std::string::npos;
    }));
    f = Share(before, "alice", "x", 1, &status);
    ASSERT_EQ(6u, f.size());
    EXPECT_EQ(0u, f[4].find("ftp://192.168.1.20/"));  // forked before: keeps its configuration
}

}  // namespace
