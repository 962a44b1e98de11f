// account_test.cpp -- each account acts only on its own hand-offs; the
// administrator acts for every account; guessing passwords costs time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "handoff_history.h"
#include "handoff_test_support.h"
#include "wire.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

class AccountTest : public HandoffServerTest {
  protected:
    void SetUp() override {
        HandoffServerTest::SetUp();
        ASSERT_TRUE(StartServer());
    }
    std::vector<HistoryRecord> History() { return ParseHistoryText(ReadFile(app->HistoryFile())); }
    std::string Finished(int fd, const std::string &user, uint32_t size) {
        std::string id;
        EXPECT_EQ(0, wire::Share(fd, user, size, &id));
        EXPECT_EQ(0, wire::Finish(fd, id));
        return id;
    }
};

TEST_F(AccountTest, AnotherAccountsHandOffsAreOutOfReach) {
    int alice = LoggedIn();
    std::string done = Finished(alice, "alice", 10);
    std::string open;
    ASSERT_EQ(0, wire::Share(alice, "alice", 20, &open));
    std::string status = ReadFile(app->StatusFile()), history = ReadFile(app->HistoryFile());

    int bob = LoggedIn("bob", "builder");
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 1}), Ask(bob, 10, Str("alice")));
    std::string id;
    EXPECT_EQ(1, wire::Share(bob, "alice", 5, &id));
    for (int code : {5, 7, 8, 9, 11})
        for (const std::string &target : {done, open})
            EXPECT_EQ(code == 11 ? 0 : 1, wire::Simple(bob, code, target)) << code << " " << target;
    EXPECT_EQ(Bytes({0x86, 0, 0, 0, 1}), Ask(bob, 6, Cat({Str(open), Int(10)})));
    EXPECT_EQ(0u, ReadInt(bob));
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 1}), Ask(bob, 4, Cat({Str("/mnt/USB5/C:/photos"), Str(open)})));
    EXPECT_TRUE(Silent(bob));
    EXPECT_EQ(status, ReadFile(app->StatusFile()));
    EXPECT_EQ(history, ReadFile(app->HistoryFile()));
    EXPECT_TRUE(FileExists(app->FinalShare(done)));
    EXPECT_TRUE(FileExists(app->TmpShare(open)));
    EXPECT_TRUE(FileExists(app->Volume(".system_file/parcelo/history_" + open + ".tmp")));

    // The administrator acts for every account.
    int reader = LoggedIn("admin", "secret");
    Send(reader, Packet(10, Str("alice")));
    EXPECT_EQ(Bytes({0x8A, 0, 0, 0, 0}), Read(reader, 5));
    EXPECT_EQ("alice", ReadString(reader));
    int admin = LoggedIn("admin", "secret");
    EXPECT_EQ(0, wire::Finish(admin, open));
    EXPECT_EQ(2u, History().size());
}

TEST_F(AccountTest, DeleteHistoryOfZeroTakesOnlyTheSessionsOwnRecords) {
    int alice = LoggedIn(), bob = LoggedIn("bob", "builder");
    std::vector<std::string> mine, hers;
    for (int i = 0; i < 5; i++) {
        hers.push_back(Finished(alice, "alice", 10));
        mine.push_back(Finished(bob, "bob", 1));
    }
    EXPECT_EQ(Bytes({0x8B, 0, 0, 0, 0}), Ask(bob, 11, Str("0")));
    // Most ids hold a zero (they are padded with zeros); a random one may not,
    // and that one of bob's stays.
    size_t bobsKept = 0;
    for (const std::string &id : mine) {
        bool matched = id.find('0') != std::string::npos;
        bobsKept += !matched;
        EXPECT_EQ(!matched, FileExists(app->FinalShare(id))) << id;
    }
    std::vector<HistoryRecord> left = History();
    ASSERT_EQ(5u + bobsKept, left.size());
    size_t alices = 0;
    for (const HistoryRecord &r : left) alices += r.section == "alice";
    EXPECT_EQ(5u, alices);
    for (const std::string &id : hers) EXPECT_TRUE(FileExists(app->FinalShare(id))) << id;
    std::string status = ReadFile(app->StatusFile());
    EXPECT_NE(std::string::npos,
              status.find("total_available_space\t" + std::to_string(50 + bobsKept) + "\n"))
        << status;
    EXPECT_NE(std::string::npos, status.find("[alice]\nuser_available_space\t50\n")) << status;
    EXPECT_NE(std::string::npos,
              status.find("[bob]\nuser_available_space\t" + std::to_string(bobsKept) + "\n"))
        << status;
}

TEST_F(AccountTest, RepeatedWrongPasswordsCloseTheConnectionAndAreLogged) {
    int fd = Connect();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Bytes({0x81, 0, 0, 0, 2}), Ask(fd, 1, LoginPayload("alice", "guess"))) << i;
    EXPECT_TRUE(Closed(fd));
    EXPECT_TRUE(server->WaitForLine("Error: user name and password failed!"));
    EXPECT_TRUE(server->WaitForLine("Failed login 3 of account \"alice\" from 127.0.0.1"));
    // A mistyped password costs one slow answer, not the connection.
    int typo = Connect();
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 2}), Ask(typo, 1, LoginPayload("alice", "wondr")));
    EXPECT_EQ(Bytes({0x81, 0, 0, 0, 0}), Ask(typo, 1, LoginPayload("alice", "wonder")));
}

}  // namespace
