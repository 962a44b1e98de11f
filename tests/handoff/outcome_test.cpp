// outcome_test.cpp -- parcelod reports hand-offs as they ended: killed and failed
// copies, finishes whose move is done before the reply, filesIds whose
// folders were made, and notices that never land inside another reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "handoff_history.h"
#include "handoff_test_support.h"
#include "wire.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

class OutcomeTest : public HandoffServerTest {
  protected:
    std::vector<HistoryRecord> History() { return ParseHistoryText(ReadFile(app->HistoryFile())); }
    // Files below folder (0 when it is missing).
    int FilesBelow(const std::string &folder) {
        harness::RunResult r = harness::Run({"sh", "-c", "find '" + folder + "' -type f | wc -l"});
        return atoi(r.output.c_str());
    }
    // A source folder of n files on the second volume.
    std::string BigSource(int n, size_t bytes) {
        for (int i = 0; i < n; i++)
            app->root.Write("mnt/USB6/C:/big/f" + std::to_string(i), std::string(bytes, 'x'));
        return "/mnt/USB6/C:/big";
    }
    // The copy notice of the n2ncp just answered; its status, or -1.
    long Notice(int fd, std::vector<wire::Notice> *seen, const std::string &id) {
        for (const wire::Notice &n : *seen)
            if (n.filesId == id) return n.status;
        wire::Bytes head;
        std::string noticed;
        if (!wire::ReadAll(fd, 5, &head) || head[0] != 0x0C || !wire::ReadStr(fd, &noticed) ||
            noticed != id)
            return -1;
        return head[4];
    }
};

TEST_F(OutcomeTest, AKilledCopyIsFailedAndLeavesNoPartInTheFinalShare) {
    ASSERT_TRUE(StartServer());
    std::string source = BigSource(4000, 16);
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 100, &id));
    ASSERT_TRUE(wire::SendAll(fd, wire::Request(4, Cat({wire::Str(source), wire::Str(id)}))));
    std::vector<wire::Notice> seen;
    ASSERT_EQ(0, wire::ReplyStatus(fd, 4, &seen));
    ASSERT_TRUE(harness::WaitUntil([&] { return FilesBelow(app->TmpShare(id)) > 0; }));
    ASSERT_TRUE(wire::SendAll(fd, wire::Request(5, wire::Str(id))));
    EXPECT_EQ(0, wire::ReplyStatus(fd, 5, &seen));
    EXPECT_EQ(1, Notice(fd, &seen, id));
    ASSERT_EQ(1u, History().size());
    EXPECT_EQ("Failed", History()[0].status);
    EXPECT_EQ(0, FilesBelow(app->FinalShare(id)));
    EXPECT_TRUE(Silent(fd));  // exactly one notice
}

TEST_F(OutcomeTest, ACopyThatFillsTheVolumeIsFailed) {
    if (!MountSmallVolume(app.get(), "1m")) GTEST_SKIP() << "no mount namespace";
    ASSERT_TRUE(StartServer());
    std::string source = BigSource(40, 100000);  // 4 MB onto a volume of 1 MB
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 100, &id));
    ASSERT_TRUE(wire::SendAll(fd, wire::Request(4, Cat({wire::Str(source), wire::Str(id)}))));
    std::vector<wire::Notice> seen;
    ASSERT_EQ(0, wire::ReplyStatus(fd, 4, &seen));
    EXPECT_EQ(1, Notice(fd, &seen, id));
    ASSERT_EQ(1u, History().size());
    EXPECT_EQ("Failed", History()[0].status);
    EXPECT_EQ(0, FilesBelow(app->FinalShare(id)));
    EXPECT_EQ(0, FilesBelow(app->TmpShare(id)));
}

TEST_F(OutcomeTest, TheFinishMovesBeforeItAnswers) {
    // Temporary shares on a file system of their own: the move copies, and
    // takes a while.
    std::string tree = app->Volume(".storage_server_parcelo/.parcelo_tmp_share");
    ASSERT_EQ(0, system(("mkdir -p '" + tree + "'").c_str()));
    if (!MountFileSystem(tree, "400m")) GTEST_SKIP() << "no mount namespace";
    ASSERT_TRUE(StartServer());
    int fd = LoggedIn();
    for (int round = 0; round < 5; round++) {
        std::string id;
        ASSERT_EQ(0, wire::Share(fd, "alice", 1, &id)) << server->Output();
        for (int i = 0; i < 4; i++)
            app->root.Write("mnt/USB5/C:/.storage_server_parcelo/.parcelo_tmp_share/!@][_" + id +
                                "/f" + std::to_string(i),
                            std::string(8 << 20, 'd'));
        // The delete follows the finish at once, in the same write.
        wire::Bytes both = wire::Request(7, wire::Str(id));
        wire::Bytes remove = wire::Request(9, wire::Str(id));
        both.insert(both.end(), remove.begin(), remove.end());
        ASSERT_TRUE(wire::SendAll(fd, both));
        EXPECT_EQ(0, wire::ReplyStatus(fd, 7));
        EXPECT_EQ(0, wire::ReplyStatus(fd, 9));
        // Once the temporary folder has gone, the final one must be gone too.
        EXPECT_TRUE(harness::WaitUntil([&] { return !FileExists(app->TmpShare(id)); }));
        EXPECT_FALSE(FileExists(app->FinalShare(id))) << "round " << round;
        EXPECT_EQ(std::string::npos, ReadFile(app->HistoryFile()).find(id));
    }
}

TEST_F(OutcomeTest, AShareWhoseFoldersCannotBeMadeIsRefusedWithTwo) {
    ASSERT_TRUE(StartServer());
    std::string tree = app->Volume(".storage_server_parcelo/.parcelo_final_share");
    ASSERT_EQ(0, system(("rm -rf '" + tree + "'").c_str()));
    app->root.Write("mnt/USB5/C:/.storage_server_parcelo/.parcelo_final_share", "not a folder");
    int fd = LoggedIn();
    uint32_t status = 99;
    std::vector<std::string> f = Share(fd, "alice", "photos", 10, &status);
    ASSERT_EQ(6u, f.size());
    EXPECT_EQ(2u, status);
    EXPECT_EQ(std::string::npos, ReadFile(app->StatusFile()).find("\t10\n"));
}

TEST_F(OutcomeTest, ACopyNoticeNeverLandsInsideTheHistory) {
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf",
                    AliceHistory(12000, '8', 1, 200));  // many socket buffers
    ASSERT_TRUE(StartServer());
    int fd = wire::Dial(4096);  // the history fills the socket's buffers long before its end
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    ASSERT_EQ(0, wire::Login(fd, "alice", "wonder"));
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 12, &id));
    // The copy, slower than reading the history, ends while the history is
    // being sent and the client reads nothing.
    std::string source = BigSource(1, 64 << 20);
    wire::Bytes both = wire::Request(4, Cat({wire::Str(source), wire::Str(id)}));
    wire::Bytes history = wire::Request(10, wire::Str("alice"));
    both.insert(both.end(), history.begin(), history.end());
    ASSERT_TRUE(wire::SendAll(fd, both));
    std::string pending = app->Volume(".system_file/parcelo/history_" + id + ".tmp");
    ASSERT_TRUE(harness::WaitUntil([&] { return !FileExists(pending); }));
    std::vector<wire::Notice> seen;
    ASSERT_EQ(0, wire::ReplyStatus(fd, 4, &seen));
    ASSERT_EQ(0, wire::ReplyStatus(fd, 10, &seen));  // first record's zero word
    size_t records = 0;
    for (uint32_t word = 0; word == 0; records++) {
        std::string s;
        uint32_t size;
        for (int i = 0; i < 3; i++) ASSERT_TRUE(wire::ReadStr(fd, &s)) << records;
        ASSERT_TRUE(wire::ReadU32(fd, &size));
        for (int i = 0; i < 7; i++) ASSERT_TRUE(wire::ReadStr(fd, &s)) << records;
        ASSERT_TRUE(wire::ReadU32(fd, &word));
        ASSERT_TRUE(word == 0 || word == 2) << "a foreign word after record " << records;
    }
    EXPECT_GE(records, 12000u);
    EXPECT_EQ(0, Notice(fd, &seen, id));
    EXPECT_TRUE(Silent(fd));
}

// The client reads a notice that comes between two history records.
TEST_F(OutcomeTest, TheClientTakesANoticeBetweenRecords) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(13367);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    ASSERT_EQ(0, listen(listener, 1));
    std::thread fake([&] {
        int c = accept(listener, nullptr, nullptr);
        wire::Bytes request;
        wire::ReadAll(c, 5, &request);
        wire::ReadAll(c, (request[3] << 8) | request[4], &request);  // login
        wire::SendAll(c, {0x81, 0, 0, 0, 0});
        wire::ReadAll(c, 5, &request);
        wire::ReadAll(c, (request[3] << 8) | request[4], &request);  // read_history
        auto record = [](const std::string &id) {
            return Cat({wire::U32(0), wire::Str("alice"), wire::Str("photos"), wire::Str("folder"),
                        wire::U32(7), wire::Str("2026/1/1 1:1:1"), wire::Str(id), wire::Str(""),
                        wire::Str(""), wire::Str(""), wire::Str("Success"), wire::Str("")});
        };
        wire::Bytes out = {0x8A};
        for (const wire::Bytes &part :
             {record("11111111111111111111"),
              Cat({wire::Bytes{0x0C, 0, 0, 0, 0}, wire::Str("33333333333333333333")}),
              record("22222222222222222222"), wire::U32(2)})
            out.insert(out.end(), part.begin(), part.end());
        wire::SendAll(c, out);
        wire::ReadAll(c, 5, &request);  // close
        wire::SendAll(c, {0x82, 0, 0, 0, 0});
        close(c);
    });
    harness::RunResult r = harness::Run(
        {harness::BinDir() + "/handoff_client", "-u", "alice", "-w", "wonder", "history"});
    fake.join();
    close(listener);
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("11111111111111111111")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("22222222222222222222")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("(2 hand-offs)")) << r.output;
}

}  // namespace
