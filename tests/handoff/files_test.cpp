// files_test.cpp -- the configuration file, filesIds, links, safe names and the status file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "flash_settings.h"
#include "handoff_config.h"
#include "handoff_connection.h"
#include "handoff_files.h"
#include "handoff_status.h"
#include "handoff_test_support.h"
#include "handoff_volume.h"

using namespace handofftest;
using harness::ReadFile;

namespace {

TEST(ConfigTest, DefaultTextIsSixLines) {
    EXPECT_EQ(
        "\t\teffective_days  30\n\t\tinternet_addr\t10.0.0.2\n\t\tlimit_space     0\n"
        "\t\ttarget_hdd\tRAID\n\t\ttotal_space\tunlimited\n"
        "\t\teach_user_max_space\tunlimited\n",
        DefaultConfigurationText(3, "10.0.0.2"));
    EXPECT_NE(std::string::npos, DefaultConfigurationText(0, "").find("\t\ttarget_hdd\t\n"));
}

TEST(ConfigTest, KeysAtTheirOffsets) {
    HandoffConfig c = HandoffConfig();
    int found = ParseConfigurationText(
        &c,
        "\t\teffective_days  7\n\t\tinternet_addr\tnas.lan\n\t\tlimit_space     9\n"
        "\t\ttarget_hdd\tHDD2\n\t\ttotal_space\t1000\n\t\teach_user_max_space\t50\n"
        "[section]\n\t\teffective_days  99\n");
    EXPECT_EQ(1, found);
    EXPECT_EQ(7, c.effectiveDays);
    EXPECT_EQ("nas.lan", c.internetAddr);
    EXPECT_EQ(9, c.limitSpace);
    EXPECT_EQ(2, c.targetDisk);
    EXPECT_EQ("1000", c.totalSpace);
    EXPECT_EQ("50", c.eachUserMaxSpace);
    EXPECT_EQ("/mnt/USB6/C:/", ShareRootOfDisk(2));
    EXPECT_EQ("", ShareRootOfDisk(0));
    c = HandoffConfig();
    EXPECT_EQ(0, ParseConfigurationText(&c, "total_space\neach_user_max_space"));  // short lines
    EXPECT_EQ("", c.totalSpace);
}

TEST(FilesIdTest, JoinsToTwentyCharacters) {
    EXPECT_EQ("12345678901234567890", JoinFilesId("1234567890", "12345678901"));
    EXPECT_EQ("12345123450000000000", JoinFilesId("12345", "12345"));
    EXPECT_EQ("99999999999999999999", JoinFilesId("9999999999999999999999", "1"));
}

TEST(FilesIdTest, SafeIdsAndSources) {
    for (const char *bad : {"", ".", "..", "a/b", "/", "../x", "1\n2"})
        EXPECT_EQ(0, FilesIdIsSafe(bad, 0)) << bad;
    EXPECT_EQ(1, FilesIdIsSafe("12345678901234567890", 0));
    EXPECT_EQ(1, FilesIdIsSafe("$(reboot)';`x`", 0));  // odd, but quoted and inside its tree
    harness::TempRoot root;
    setenv("NAS_ROOT", root.path().c_str(), 1);
    root.Write("mnt/USB5/C:/photos/a", "x");
    root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf", "x");
    root.Write("nasext/main/cfg/parcelo/parcelo.conf", "x");
    EXPECT_EQ(
        0,
        system(
            ("ln -s '" + root.At("nasext") + "' '" + root.At("mnt/USB5/C:/link") + "'").c_str()));
    EXPECT_EQ(1, CopySourceIsAllowed("/mnt/USB5/C:/photos"));
    EXPECT_EQ(1, CopySourceIsAllowed("/mnt/USB5/C:/photos/"));
    for (const char *bad : {"/nasext/main/cfg", "/mnt/USB5/C:/../../nasext", "/mnt/USB5/C:/link",
                            "/mnt/USB5/C:/.system_file/parcelo", "/mnt/USB5/C:/photos/a",
                            "/mnt/USB5/C:/none", "mnt/USB5/C:/photos", "/mnt/USB5/C:/./photos"})
        EXPECT_EQ(0, CopySourceIsAllowed(bad)) << bad;
}

TEST(CopyPidsTest, OnlyCopiesOfThatId) {
    const std::string id = "12345678901234567890";
    std::vector<std::string> ps = {
        "  101 cp -rf /mnt/USB5/C:/photos /r/.parcelo_tmp_share/!@][_" + id,
        "  102 sh -c cp -rf '/mnt/USB5/C:/photos' '/r/.parcelo_tmp_share/!@][_" + id + "'",
        "  103 mv /r/.parcelo_tmp_share/!@][_" + id + " /r/.parcelo_final_share/",
        "  104 cp -rf /x /r/.parcelo_tmp_share/!@][_" + id + "99",  // another id
        "  105 vi /notes/!@][_" + id,                               // not a copy
        "    7 cp /r/!@][_" + id,                                   // one-character pid
        "  106 cp /r/!@][_" + id,                                   // the caller itself
        "junk line",
    };
    EXPECT_EQ(std::vector<long>({101, 102, 103}), CopyPidsInListing(ps, id, 106));
    EXPECT_EQ(std::vector<long>({104}), CopyPidsInListing(ps, id + "99", 0));
}

TEST(LoginTest, AccountListsAndLanguageTable) {
    EXPECT_EQ(std::vector<std::string>({"a", "", "b"}), SplitAccountList("a,,b"));
    std::string many;
    for (int i = 0; i < 40; i++) many += "u" + std::to_string(i) + ",";
    EXPECT_EQ(32u, SplitAccountList(many).size());
    std::string table = "en CP1252\r\nde ISO-8859-15\nzh\n";
    EXPECT_EQ("ISO-8859-15", CharacterSetFromTable(table, "de"));
    EXPECT_EQ("CP1252", CharacterSetFromTable(table, "en"));
    EXPECT_EQ("CP1252", CharacterSetFromTable(table, "zh"));  // nothing after the code
    EXPECT_EQ("CP1252", CharacterSetFromTable(table, "fr"));
    EXPECT_EQ("CP1252", CharacterSetFromTable(table, ""));
}

TEST(ReplyTest, RetriesOfOneBudget) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    close(sv[1]);
    HandoffContext ctx;
    HandoffContextInit(&ctx, &ctx.config, sv[0]);
    ctx.retrySeconds = 0;
    int retries = kHandoffWriteRetries;
    EXPECT_EQ(-1, SendPacket(&ctx, {1, 2, 3}, &retries));
    EXPECT_EQ(0, retries);
    EXPECT_EQ(-1, SendPacket(&ctx, {1}, &retries));  // nothing left for a later write
    close(sv[0]);
}

// The status file, in a root with a flash device that lists alice and bob.
class StatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("NAS_ROOT", app.root.path().c_str(), 1);
        setenv("PATH", (harness::StandInDir() + ":" + getenv("PATH")).c_str(), 1);
        ASSERT_EQ(1, FlashSettingsInit());
        config = HandoffConfig();
        config.shareRoot = "/mnt/USB5/C:/";
        config.totalSpace = "unlimited";
        config.eachUserMaxSpace = "unlimited";
    }
    std::string Status() { return ReadFile(app.StatusFile()); }
    void SetStatus(const std::string &text) {
        app.root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_status.conf", text);
    }
    ApplianceRoot app;
    HandoffConfig config;
};

TEST_F(StatusTest, NewFileListsEveryAccount) {
    SpaceCounters c;
    ASSERT_EQ(0, LoadSpaceCounters(&config, "carol", &c));
    EXPECT_EQ(
        "total_available_space\t0\n[alice]\nuser_available_space\t0\n[bob]\n"
        "user_available_space\t0\n[carol]\nuser_available_space\t0\n",
        Status());
}

TEST_F(StatusTest, AddPutsTheUserFirst) {
    SetStatus(
        "[bob]\nuser_available_space\t5\ntotal_available_space\t20\n[alice]\n"
        "user_available_space\t15\n");
    ASSERT_EQ(0, AddUsedSpace(&config, "alice", 10));
    EXPECT_EQ(
        "total_available_space\t30\n[alice]\nuser_available_space\t25\n[bob]\n"
        "user_available_space\t5\n",
        Status());
    EXPECT_FALSE(harness::FileExists(app.StatusFile() + "_tmp"));
}

TEST_F(StatusTest, GivingBackMoreThanHeldStopsAtZero) {
    SetStatus("total_available_space\t20\n[alice]\nuser_available_space\t15\n");
    GiveSpaceBack(&config, "alice", "17");
    EXPECT_EQ("total_available_space\t3\n[alice]\nuser_available_space\t0\n", Status());
    GiveSpaceBack(&config, "alice", "100");
    EXPECT_EQ("total_available_space\t0\n[alice]\nuser_available_space\t0\n", Status());
    GiveSpaceBack(&config, "alice", "");  // nothing to give back
    EXPECT_EQ("total_available_space\t0\n[alice]\nuser_available_space\t0\n", Status());
}

TEST_F(StatusTest, JunkStatusFiles) {
    const char *junk[] = {"", "garbage\n\n\n", "total_available_space\n[alice]\n", "[alice]",
                          "total_available_space\tlots\n[alice]\nuser_available_space\t-9"};
    for (const char *text : junk) {
        SetStatus(text);
        ASSERT_EQ(0, AddUsedSpace(&config, "alice", 1)) << text;
        SpaceCounters c;
        ASSERT_EQ(0, LoadSpaceCounters(&config, "alice", &c));
        EXPECT_GE(SpaceNumber(c.total), 1) << text;
        EXPECT_GE(SpaceNumber(c.user), 0) << text;  // -9 + 1 is kept at 0
    }
    SetStatus(std::string(3 << 20, 'x'));  // one line of megabytes, no line end
    ASSERT_EQ(0, AddUsedSpace(&config, "alice", 1));
    EXPECT_EQ(0u, Status().find("total_available_space\t1\n[alice]\nuser_available_space\t1\n"));
}

TEST_F(StatusTest, ChecksInSixtyFourBits) {
    SetStatus("total_available_space\t400\n[alice]\nuser_available_space\t200\n");
    config.totalSpace = "1000";
    config.eachUserMaxSpace = "500";
    EXPECT_EQ(1, CheckSpace(&config, "alice", 299));
    EXPECT_EQ(0, CheckSpace(&config, "alice", 300));
    config.eachUserMaxSpace = "unlimited";
    EXPECT_EQ(0, CheckSpace(&config, "alice", 0));
    config.totalSpace = "9000000000000";
    config.eachUserMaxSpace = "8000000000000";
    EXPECT_EQ(1, CheckSpace(&config, "alice", 4000000000u));
    app.Df("/dev/hdd1", 6000000000LL);
    config.totalSpace = "unlimited";
    EXPECT_EQ(6000000000LL, FreeSpace(&config));
    EXPECT_EQ(1, CheckSpace(&config, "alice", 4294967295u));
}

}  // namespace
