// store_test.cpp -- parcelod's files under many clients, kills and a full volume:
// no acknowledged hand-off is lost or doubled and the counters stay the sum
// of the records.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "handoff_history.h"
#include "handoff_test_support.h"
#include "wire.h"

using namespace handofftest;
using harness::FileExists;
using harness::ReadFile;

namespace {

struct Acked {
    std::string id, user;
    uint32_t size;
};

// Processes of the tree below pid whose command is parcelod (connection and
// copy processes), pid itself left out.
std::vector<int> ParcelodBelow(int root) {
    std::map<int, int> parent;
    std::map<int, std::string> comm;
    for (const harness::ProcEntry &p : harness::ProcessTable()) {
        if (p.state == 'Z') continue;
        parent[p.pid] = p.ppid;
        comm[p.pid] = p.comm;
    }
    std::vector<int> found;
    for (const auto &p : parent) {
        for (int up = p.second; up > 1 && parent.count(up); up = parent[up]) {
            if (up == root) {
                if (comm[p.first] == "parcelod") found.push_back(p.first);
                break;
            }
        }
    }
    return found;
}

class StoreTest : public HandoffServerTest {
  protected:
    void Start() { ASSERT_TRUE(StartServer()); }
    std::string System(const std::string &name) {
        return app->Volume(".system_file/parcelo/" + name);
    }
    std::vector<HistoryRecord> History() { return ParseHistoryText(ReadFile(app->HistoryFile())); }
    // Any command that takes the files' lock completes a change a killed
    // process left half done.
    void Settle() {
        int fd = wire::Dial();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(0, wire::Login(fd, "admin", "secret"));
        EXPECT_EQ(1, wire::Finish(fd, "00000000000000000000"));
        close(fd);
    }
    // Records in the history and pending files, by id.
    std::map<std::string, HistoryRecord> AllRecords(std::map<std::string, int> *times) {
        std::map<std::string, HistoryRecord> all;
        for (const HistoryRecord &r : History()) {
            (*times)[r.filesId]++;
            all[r.filesId] = r;
        }
        DIR *d = opendir(System("").c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            std::string name = e->d_name;
            if (name.compare(0, 8, "history_") != 0 || name.size() < 4 ||
                name.compare(name.size() - 4, 4, ".tmp") != 0)
                continue;
            for (const HistoryRecord &r : ParseHistoryText(ReadFile(System(name)))) {
                (*times)[r.filesId]++;
                all[r.filesId] = r;
            }
        }
        if (d) closedir(d);
        return all;
    }
    // The counters equal the sums of the records' sizes, in all and per user.
    void ExpectCountersAreTheRecords() {
        std::map<std::string, int> times;
        std::map<std::string, long long> perUser;
        long long total = 0;
        for (const auto &r : AllRecords(&times)) {
            total += atoll(r.second.size.c_str());
            perUser[r.second.section] += atoll(r.second.size.c_str());
        }
        std::string status = ReadFile(app->StatusFile());
        EXPECT_NE(std::string::npos,
                  status.find("total_available_space\t" + std::to_string(total) + "\n"))
            << status;
        for (const auto &u : perUser)
            EXPECT_NE(std::string::npos, status.find("[" + u.first + "]\nuser_available_space\t" +
                                                     std::to_string(u.second) + "\n"))
                << u.first << "\n"
                << status;
    }
};

TEST_F(StoreTest, ConcurrentClientsLoseNoHandOffAndNoCounter) {
    Start();
    std::mutex m;
    std::vector<Acked> acked;
    std::atomic<bool> done(false);
    std::atomic<int> tornReads(0);
    std::thread reader([&] {
        bool seen = false, seenStatus = false;
        while (!done) {
            std::string h = ReadFile(app->HistoryFile());
            if (!h.empty()) seen = true;
            bool whole = h.size() >= 12 && h.compare(h.size() - 12, 12, "email_path\t\n") == 0;
            if (seen && !whole) tornReads++;
            std::string s = ReadFile(app->StatusFile());
            if (!s.empty()) seenStatus = true;
            if (seenStatus && (s.find("total_available_space\t") != 0 || s.back() != '\n'))
                tornReads++;
        }
    });
    std::vector<std::thread> clients;
    for (int t = 0; t < 20; t++) {
        clients.emplace_back([&, t] {
            const char *user = t % 2 ? "bob" : "alice";
            int fd = wire::Dial();
            if (fd < 0 || wire::Login(fd, user, t % 2 ? "builder" : "wonder") != 0) return;
            for (int i = 0; i < 10; i++) {
                std::string id;
                uint32_t size = 1 + t + i;
                if (wire::Share(fd, user, size, &id) != 0 || wire::Finish(fd, id) != 0) continue;
                std::lock_guard<std::mutex> hold(m);
                acked.push_back({id, user, size});
            }
            close(fd);
        });
    }
    for (std::thread &c : clients) c.join();
    done = true;
    reader.join();
    EXPECT_EQ(200u, acked.size());
    EXPECT_EQ(0, tornReads.load());
    std::map<std::string, int> times;
    std::map<std::string, HistoryRecord> all = AllRecords(&times);
    for (const Acked &a : acked) {
        EXPECT_EQ(1, times[a.id]) << a.id;
        EXPECT_EQ("Success", all[a.id].status) << a.id;
        EXPECT_EQ(a.user, all[a.id].section) << a.id;
    }
    EXPECT_EQ(200u, History().size());
    ExpectCountersAreTheRecords();
}

TEST_F(StoreTest, KillDuringTheHistoryRewriteLosesNothing) {
    const int kRecords = 20000;
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf",
                    AliceHistory(kRecords, '9', 0, 0));  // a slow rewrite
    Start();
    std::mt19937 random(12345);
    size_t expected = kRecords;
    for (int round = 0; round < 15; round++) {
        int fd = wire::Dial();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, wire::Login(fd, "alice", "wonder"));
        std::string id;
        ASSERT_EQ(0, wire::Share(fd, "alice", 0, &id));
        std::vector<int> children;
        ASSERT_TRUE(harness::WaitUntil([&] { return (children = ServerChildren()).size() == 1; }));
        ASSERT_TRUE(wire::SendAll(fd, wire::Request(7, wire::Str(id))));
        usleep(random() % 4000);  // a random moment of the finish
        kill(children[0], SIGKILL);
        close(fd);
        ASSERT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
        Settle();
        std::vector<HistoryRecord> history = History();
        bool pending = FileExists(System("history_" + id + ".tmp"));
        if (history.size() == expected + 1) {
            EXPECT_EQ(id, history[0].filesId);
            EXPECT_FALSE(pending) << "finished and still pending: " << id;
            expected++;
        } else {
            ASSERT_EQ(expected, history.size()) << "round " << round;
            EXPECT_TRUE(pending) << "neither finished nor pending: " << id;
        }
    }
}

// A new hand-off's share folders are made only after its record is written:
// a connection process killed while create_tmp_share waits for br0's address
// (the ifconfig stand-in held on a FIFO) has made no folder yet, so none is
// ever left without a record.
TEST_F(StoreTest, AKillInTheMiddleOfAShareLeavesNoFolderWithoutARecord) {
    Start();
    int fd = wire::Dial();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, wire::Login(fd, "alice", "wonder"));
    std::vector<int> children;
    ASSERT_TRUE(harness::WaitUntil([&] { return (children = ServerChildren()).size() == 1; }));
    std::string fifo = app->root.At("standin/ifconfig.out");
    unlink(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    int hold = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // the server must not hold it
    ASSERT_GE(hold, 0);
    size_t before = ReadFile(app->root.At("standin/calls.log")).size();
    wire::Bytes payload;
    for (const wire::Bytes &part :
         {wire::Str("alice"), wire::Str("photos"), wire::U32(5), wire::Str("folder")})
        payload.insert(payload.end(), part.begin(), part.end());
    ASSERT_TRUE(wire::SendAll(fd, wire::Request(3, payload)));
    ASSERT_TRUE(harness::WaitUntil([&] {
        return ReadFile(app->root.At("standin/calls.log")).find("ifconfig", before) !=
               std::string::npos;
    }));
    kill(children[0], SIGKILL);
    close(fd);
    ASSERT_TRUE(harness::WaitUntil([&] { return ServerChildren().empty(); }));
    close(hold);
    unlink(fifo.c_str());
    for (const char *tree : {".parcelo_final_share", ".parcelo_tmp_share"}) {
        std::string folder = app->Volume(std::string(".storage_server_parcelo/") + tree);
        DIR *d = opendir(folder.c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            if (e->d_name[0] != '.') ADD_FAILURE() << tree << "/" << e->d_name << " has no record";
        }
        if (d) closedir(d);
    }
}

TEST_F(StoreTest, AFullVolumeLeavesTheHistoryAsItWasAndTheFinishAnswersOne) {
    if (!MountSmallVolume(app.get(), "2m")) GTEST_SKIP() << "no mount namespace";
    app->root.Write("mnt/USB5/C:/.system_file/parcelo/parcelo_history.conf",
                    AliceHistory(120, '9', 0, 0));
    Start();
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 5, &id));
    std::string before = ReadFile(app->HistoryFile());
    std::string filler = FillVolume(app->Volume());
    EXPECT_EQ(1, wire::Finish(fd, id));
    EXPECT_EQ(before, ReadFile(app->HistoryFile()));
    EXPECT_TRUE(FileExists(System("history_" + id + ".tmp")));
    std::string none;
    EXPECT_NE(0, wire::Share(fd, "alice", 5, &none));  // no room for its record either
    unlink(filler.c_str());
    EXPECT_EQ(0, wire::Finish(fd, id));
    std::vector<HistoryRecord> history = History();
    ASSERT_EQ(121u, history.size());
    EXPECT_EQ(id, history[0].filesId);
    EXPECT_EQ(before, ReadFile(app->HistoryFile()).substr(FormatHistoryRecord(history[0]).size()));
}

TEST_F(StoreTest, AHandOffIsFinishedOnce) {
    Start();
    int owner = LoggedIn();
    int a = LoggedIn(), b = LoggedIn();
    std::set<std::string> ids;
    for (int round = 0; round < 12; round++) {
        std::string id;
        ASSERT_EQ(0, wire::Share(owner, "alice", 3, &id));
        ids.insert(id);
        // Both finishes are on their way before either is answered.
        ASSERT_TRUE(wire::SendAll(a, wire::Request(7, wire::Str(id))));
        ASSERT_TRUE(wire::SendAll(b, wire::Request(7, wire::Str(id))));
        long first = wire::ReplyStatus(a, 7), second = wire::ReplyStatus(b, 7);
        EXPECT_EQ(1, (first == 0) + (second == 0)) << first << " " << second;
        EXPECT_EQ(1, (first == 1) + (second == 1)) << first << " " << second;
        EXPECT_EQ(static_cast<size_t>(round + 1), History().size());
    }
    std::map<std::string, int> times;
    AllRecords(&times);
    for (const std::string &id : ids) EXPECT_EQ(1, times[id]) << id;
    ExpectCountersAreTheRecords();
}

TEST_F(StoreTest, AHandOffIsCopiedOnce) {
    Start();
    int fd = LoggedIn();
    std::string id;
    ASSERT_EQ(0, wire::Share(fd, "alice", 12, &id));
    wire::Bytes copy = wire::Request(4, Cat({wire::Str("/mnt/USB5/C:/photos"), wire::Str(id)}));
    wire::Bytes both = copy;
    both.insert(both.end(), copy.begin(), copy.end());
    ASSERT_TRUE(wire::SendAll(fd, both));  // two n2ncp of one id in one write
    std::vector<wire::Notice> notices;
    EXPECT_EQ(0, wire::ReplyStatus(fd, 4, &notices));
    EXPECT_EQ(1, wire::ReplyStatus(fd, 4, &notices));
    if (notices.empty()) {
        wire::Bytes head;
        ASSERT_TRUE(wire::ReadAll(fd, 5, &head));
        EXPECT_EQ(0x0C, head[0]);
        std::string noticed;
        ASSERT_TRUE(wire::ReadStr(fd, &noticed));
        EXPECT_EQ(id, noticed);
    }
    // A finished copy is not copied again, nor finished by hand.
    ASSERT_TRUE(wire::SendAll(fd, copy));
    EXPECT_EQ(1, wire::ReplyStatus(fd, 4));
    EXPECT_EQ(1, wire::Finish(fd, id));
    EXPECT_TRUE(Silent(fd));
    ASSERT_EQ(1u, History().size());
    EXPECT_EQ("Success", History()[0].status);
}

TEST_F(StoreTest, SoakWithKillsKeepsEveryAcknowledgedHandOffOnce) {
    Start();
    std::mutex m;
    std::map<std::string, Acked> acked;
    std::atomic<bool> done(false);
    std::atomic<int> kills(0);
    std::thread killer([&] {
        std::mt19937 random(777);
        while (!done) {
            usleep(100000 + random() % 200000);
            std::vector<int> victims = ParcelodBelow(server->pid());
            if (victims.empty()) continue;
            if (kill(victims[random() % victims.size()], SIGKILL) == 0) kills++;
        }
    });
    std::vector<std::thread> clients;
    for (int t = 0; t < 20; t++) {
        clients.emplace_back([&, t] {
            const char *user = t % 2 ? "bob" : "alice";
            const char *password = t % 2 ? "builder" : "wonder";
            int fd = -1;
            for (int i = 0; i < 50; i++) {
                if (fd < 0) {
                    fd = wire::Dial();
                    if (fd >= 0 && wire::Login(fd, user, password) != 0) {
                        close(fd);
                        fd = -1;
                    }
                    if (fd < 0) continue;
                }
                std::string id;
                uint32_t size = 1 + (t * 50 + i) % 97;
                long status = wire::Share(fd, user, size, &id);
                bool ok = false;
                if (status == 0 && i % 2 == 0) {
                    ok = wire::Finish(fd, id) == 0;
                } else if (status == 0) {
                    std::vector<wire::Notice> notices;
                    wire::Bytes copy =
                        wire::Request(4, Cat({wire::Str("/mnt/USB5/C:/photos"), wire::Str(id)}));
                    if (wire::SendAll(fd, copy) && wire::ReplyStatus(fd, 4, &notices) == 0 &&
                        notices.empty()) {
                        wire::Bytes head;
                        std::string noticed;
                        if (wire::ReadAll(fd, 5, &head) && head[0] == 0x0C &&
                            wire::ReadStr(fd, &noticed))
                            notices.push_back({head[4], noticed});
                    }
                    for (const wire::Notice &n : notices) ok |= n.filesId == id && n.status == 0;
                }
                if (ok) {
                    std::lock_guard<std::mutex> hold(m);
                    acked[id] = {id, user, size};
                }
                if (status < 0 || (!ok && status == 0)) {
                    close(fd);  // broken by a kill, or a copy that failed: start afresh
                    fd = -1;
                }
            }
            if (fd >= 0) close(fd);
        });
    }
    for (std::thread &c : clients) c.join();
    done = true;
    killer.join();
    ASSERT_TRUE(harness::WaitUntil([&] { return ParcelodBelow(server->pid()).empty(); },
                                   std::chrono::seconds(60)));
    Settle();
    EXPECT_GT(kills.load(), 10);
    EXPECT_GT(acked.size(), 100u);
    std::map<std::string, int> times;
    std::map<std::string, HistoryRecord> all = AllRecords(&times);
    for (const auto &t : times) EXPECT_EQ(1, t.second) << "recorded twice: " << t.first;
    int historyTimes = 0;
    for (const auto &a : acked) {
        historyTimes = 0;
        for (const HistoryRecord &r : History()) historyTimes += r.filesId == a.first;
        EXPECT_EQ(1, historyTimes) << "acknowledged, not in the history once: " << a.first;
        EXPECT_EQ("Success", all[a.first].status) << a.first;
        EXPECT_EQ(a.second.user, all[a.first].section) << a.first;
    }
    ExpectCountersAreTheRecords();
}

}  // namespace
