// tarsel_storage_test.cpp -- the storage check run by a real tarsel.
//
// The test process plays vidula: it starts tarsel as its child, asks for a
// check with SIGUSR1, catches the answers (SIGUSR1 with its value, SIGUSR2)
// in a handler that only records them, and reads the NVR manager's queue.
// The recording tree is real and measured by the real du and ls; a stand-in
// df first on PATH plays a full or a very large volume where needed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using harness::FileExists;
using Signals = std::vector<std::pair<int, int>>;  // signal, queued value

// Answers of tarsel, recorded by the handler in arrival order.
struct CaughtSignal {
    int sig;
    int value;
};
CaughtSignal gCaught[64];
std::atomic<int> gCaughtCount{0};

void RecordSignal(int sig, siginfo_t *info, void *) {
    int n = gCaughtCount.load();
    if (n >= 64) return;
    gCaught[n].sig = sig;
    gCaught[n].value =
        (info != nullptr && info->si_code == SI_QUEUE) ? info->si_value.sival_int : 0;
    gCaughtCount.store(n + 1);
}

const int64_t kReserve = 100000;     // nvr_max_file_size caps the camera reserve
const size_t kFileSize = 25 * 4096;  // whole blocks: du and ls count the same

class TarselStorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gCaughtCount = 0;
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_sigaction = RecordSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGUSR1);
        sigaddset(&action.sa_mask, SIGUSR2);
        sigaction(SIGUSR1, &action, nullptr);
        sigaction(SIGUSR2, &action, nullptr);
        managerKey_ = tmp_.At("manager.key");
        manager_.reset(new harness::QueueReader(managerKey_));
        bin_ = tmp_.At("bin");
        mkdir(bin_.c_str(), 0755);
        UseRoot("rec/");
    }
    void TearDown() override {
        tarsel_.reset();
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
    }

    void UseRoot(const std::string &relative) {
        root_ = tmp_.At(relative);
        mkdir(root_.c_str(), 0755);
    }
    std::string ConfigFile(std::map<std::string, std::string> overrides) {
        std::map<std::string, std::string> base = {
            {"nvr_record_folder", root_},
            {"nvr_manager_mq", managerKey_},
            {"nvr_max_file_size", std::to_string(kReserve)},
            {"nvr_log_console", "yes"},
        };
        for (auto &o : overrides) base[o.first] = o.second;
        return tmp_.Write("tarsel.conf", harness::ConfigText(base));
    }
    // Starts tarsel as this process's child and waits until it is ready.
    void Start(const std::map<std::string, std::string> &overrides) {
        std::string config = ConfigFile(overrides);
        tarsel_.reset(new harness::Process({harness::BinDir() + "/tarsel", "-v", "-c", config},
                                           {{"PATH", bin_ + ":" + getenv("PATH")}}));
        ASSERT_TRUE(tarsel_->WaitForLine("Executed by VIDULA(" + std::to_string(getpid()) + ")"))
            << tarsel_->Output();
    }
    // Rewrites the configuration and has tarsel reload it.
    void Reload(const std::map<std::string, std::string> &overrides) {
        int before = tarsel_->Count("Reload config file");
        ConfigFile(overrides);
        tarsel_->Signal(SIGHUP);
        ASSERT_TRUE(tarsel_->WaitForCount("Reload config file", before + 1));
    }
    void Check() { tarsel_->Signal(SIGUSR1); }

    // Waits for count answers and returns every answer caught so far.
    Signals WaitSignals(int count) {
        harness::WaitUntil([&] { return gCaughtCount.load() >= count; });
        Signals caught;
        for (int i = 0; i < gCaughtCount.load(); i++) {
            caught.emplace_back(gCaught[i].sig, gCaught[i].value);
        }
        return caught;
    }
    // The next manager record, which must be stamped with this process's pid.
    std::pair<int, std::string> NextRecord() {
        int code = -1, pid = -1;
        std::string text;
        EXPECT_TRUE(manager_->NextManager(&code, &pid, &text)) << tarsel_->Output();
        EXPECT_EQ(getpid(), pid);
        return {code, text};
    }

    // A stand-in df first on PATH: a volume with this many free 1K-blocks
    // (an empty value: df prints its header only).
    void PlayVolume(const std::string &availableBlocks) {
        tmp_.Write("df-available", availableBlocks);
        tmp_.Write(
            "bin/df",
            "#!/bin/sh\n"
            "# df stand-in: the available 1K-blocks come from a file of the test.\n"
            "available=$(cat '" +
                tmp_.At("df-available") +
                "')\n"
                "echo 'Filesystem     1K-blocks      Used  Available Use% Mounted on'\n"
                "[ -n \"$available\" ] && echo \"/dev/standin  9999999999 1 $available 1% /v\"\n"
                "exit 0\n");
        chmod((bin_ + "/df").c_str(), 0755);
    }

    // A finished recording of 2024-05-DD started at 10:MM:00.
    std::string Recording(int day, int minute, size_t size = kFileSize) {
        char relative[128];
        snprintf(relative, sizeof(relative),
                 "2024/05/%02d/cam2024-05-%02d#10-%02d-00_2024-05-%02d#10-%02d-00.avi", day, day,
                 minute, day, minute + 10);
        return tmp_.Write(root_.substr(tmp_.path().size() + 1) + relative, std::string(size, 'r'));
    }
    // Bytes used under the root, as du -s reports them.
    int64_t UsedByDu() {
        harness::RunResult r = harness::Run({"du", "-s", "-k", root_});
        return atoll(r.output.c_str()) * 1024;
    }

    harness::TempRoot tmp_;
    std::string root_, bin_, managerKey_;
    std::unique_ptr<harness::QueueReader> manager_;
    std::unique_ptr<harness::Process> tarsel_;
};

const int kNotify = 1, kSpaceOk = 2;

TEST_F(TarselStorageTest, EnoughRoomQueuesValueTwo) {
    Recording(6, 0);
    Start({{"nvr_max_storage_space", "1000000000"}});
    Check();
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kSpaceOk}}), WaitSignals(2));
    EXPECT_EQ(std::make_pair(3, std::to_string(UsedByDu())), NextRecord());
    EXPECT_TRUE(tarsel_->WaitForLine("Has enough space and send signal (10) to parent"));
    EXPECT_EQ(0, manager_->Pending());
}

TEST_F(TarselStorageTest, QuotaUsedDeletesTheOldestUntilThereIsRoom) {
    std::vector<std::string> files = {Recording(5, 0), Recording(5, 20), Recording(6, 0),
                                      Recording(7, 0)};
    // Two deletions bring the quota left above the reserve, one does not.
    int64_t quota = UsedByDu() + kReserve - 2 * kFileSize + kFileSize / 2;
    Start({{"nvr_max_storage_space", std::to_string(quota)}});
    Check();
    EXPECT_TRUE(tarsel_->WaitForCount("Quota used off and delete file", 2));
    EXPECT_EQ(
        std::make_pair(402, std::string("The whole reserved space for this IP camera is used")),
        NextRecord());
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_FALSE(FileExists(files[0]));
    EXPECT_FALSE(FileExists(files[1]));
    EXPECT_TRUE(FileExists(files[2]));
    EXPECT_TRUE(FileExists(files[3]));
    // Room made by deleting sends no answer; the next check finds room.
    Check();
    EXPECT_EQ(
        (Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR1, kSpaceOk}}),
        WaitSignals(4));
    EXPECT_EQ(std::make_pair(3, std::to_string(UsedByDu())), NextRecord());
    EXPECT_EQ(2, tarsel_->Count("Quota used off and delete file"));
}

TEST_F(TarselStorageTest, NonRecycleModeBlocksAndDeletesNothing) {
    std::string file = Recording(6, 0);
    Start({{"nvr_max_storage_space", std::to_string(UsedByDu())}, {"nvr_recycle_storage", "no"}});
    Check();
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR2, 0}}), WaitSignals(3));
    EXPECT_EQ(402, NextRecord().first);
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_TRUE(tarsel_->WaitForLine("Try to reclaim disk in non-recycle mode"));
    EXPECT_TRUE(FileExists(file));
}

// A volume with less free space than the reserve: 403, the error line once
// per episode, and the oldest recordings go until the volume has room.
TEST_F(TarselStorageTest, FullVolumeReports403AndReclaims) {
    const char kSystemLine[] =
        "Error: The available disk space is smaller than the configured reserved space of NVR "
        "system";
    const std::string k403 =
        "The available disk space is smaller than the configured reserved space for this IP "
        "camera";
    std::string first = Recording(5, 0), second = Recording(6, 0), third = Recording(7, 0);
    PlayVolume("50");  // 51200 bytes; one deleted file makes 153600, above the reserve
    Start({{"nvr_max_storage_space", "1000000000"}});
    Check();
    EXPECT_TRUE(tarsel_->WaitForCount("Quota used off and delete file", 1));
    EXPECT_EQ(std::make_pair(403, k403), NextRecord());
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_FALSE(FileExists(first));
    EXPECT_TRUE(FileExists(second));

    Check();  // still full: 403 again, the error line not
    EXPECT_TRUE(tarsel_->WaitForCount("Quota used off and delete file", 2));
    EXPECT_EQ(403, NextRecord().first);
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_EQ(1, tarsel_->Count(kSystemLine));

    PlayVolume("900000000");  // room again: the latch re-arms
    Check();
    EXPECT_EQ(3, NextRecord().first);
    PlayVolume("50");
    Check();
    EXPECT_TRUE(tarsel_->WaitForCount("Quota used off and delete file", 3));
    EXPECT_EQ(403, NextRecord().first);
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_EQ(2, tarsel_->Count(kSystemLine));
    EXPECT_FALSE(FileExists(third));
    EXPECT_EQ((Signals{{SIGUSR1, kNotify},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kSpaceOk},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kNotify}}),
              WaitSignals(8));
}

// 3 000 000 000 free blocks (above 2 TiB) compared with a quota left one
// byte above and exactly at that: only 64-bit arithmetic tells them apart.
TEST_F(TarselStorageTest, FreeSpaceAbove2TiBIsExact) {
    const int64_t kFree = INT64_C(3000000000) * 1024;
    Recording(6, 0);
    PlayVolume("3000000000");
    int64_t used = UsedByDu();
    Start({{"nvr_max_storage_space", std::to_string(used + kFree + 1)}});
    Check();
    EXPECT_EQ(403, NextRecord().first);
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR1, kSpaceOk}}),
              WaitSignals(3));

    Reload({{"nvr_max_storage_space", std::to_string(used + kFree)}});
    Check();
    EXPECT_EQ(std::make_pair(3, std::to_string(used)), NextRecord());
    EXPECT_EQ((Signals{{SIGUSR1, kNotify},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kSpaceOk},
                       {SIGUSR1, kNotify},
                       {SIGUSR1, kSpaceOk}}),
              WaitSignals(5));
    EXPECT_EQ(0, manager_->Pending());
}

// A recording above 2 GiB (allocated for real, so du counts it) and a quota
// left exactly at the reserve, then one byte above it.
TEST_F(TarselStorageTest, QuotaLeftExactlyAtTheReserveIsNotEnough) {
    std::string big = Recording(6, 0, 0);
    if (harness::Run({"fallocate", "-l", "3221225472", big}).status != 0) {
        GTEST_SKIP() << "the volume of the test root cannot allocate 3 GiB";
    }
    int64_t used = UsedByDu();
    ASSERT_GT(used, INT64_C(3221225472));
    Start({{"nvr_max_storage_space", std::to_string(used + kReserve)},
           {"nvr_recycle_storage", "no"}});
    Check();
    EXPECT_EQ(std::make_pair(3, std::to_string(used)), NextRecord());  // no 402: quota left > 0
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR2, 0}}), WaitSignals(2));

    Reload({{"nvr_max_storage_space", std::to_string(used + kReserve + 1)},
            {"nvr_recycle_storage", "no"}});
    Check();
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR2, 0}, {SIGUSR1, kNotify}, {SIGUSR1, kSpaceOk}}),
              WaitSignals(4));
    EXPECT_TRUE(FileExists(big));
}

TEST_F(TarselStorageTest, NothingToDeleteBlocksAndLogsOncePerEpisode) {
    Start({{"nvr_max_storage_space", "1"}});
    Check();
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR2, 0}}), WaitSignals(3));
    Check();
    Signals caught = WaitSignals(6);
    ASSERT_EQ(6u, caught.size());
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR2, 0}}),
              Signals(caught.begin() + 3, caught.end()));
    EXPECT_EQ(1, tarsel_->Count("Error: No old file to delete"));

    // A deleted file re-arms the latch.
    Recording(6, 0);
    Check();
    EXPECT_TRUE(tarsel_->WaitForLine("Quota used off and delete file"));
    EXPECT_TRUE(tarsel_->WaitForCount("Error: No old file to delete", 2));
    caught = WaitSignals(9);
    ASSERT_EQ(9u, caught.size());
    EXPECT_EQ(SIGUSR2, caught[8].first);
}

TEST_F(TarselStorageTest, FailedMeasurementsReport900AndBlock) {
    const struct {
        bool missingRoot;
        const char *dfAvailable;  // null: the real df
        const char *text;
    } cases[] = {
        {true, nullptr, "Failed to get used storage space"},
        {false, "", "Failed to get free storage space"},
    };
    for (const auto &c : cases) {
        gCaughtCount = 0;
        UseRoot(c.missingRoot ? "missing/" : "rec/");
        if (c.missingRoot) rmdir(root_.c_str());
        if (c.dfAvailable != nullptr) PlayVolume(c.dfAvailable);
        Start({{"nvr_max_storage_space", "1000000000"}});
        Check();
        EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR2, 0}}), WaitSignals(2)) << c.text;
        EXPECT_EQ(std::make_pair(900, std::string(c.text)), NextRecord());
        EXPECT_EQ(0, manager_->Pending());
    }
}

// A root and file names holding a blank, "$", a backquote and a single
// quote: du, df, ls and rm see them as plain text.
TEST_F(TarselStorageTest, QuotedRootAndNamesWithRealTools) {
    std::string cwd = tmp_.At("cwd");
    mkdir(cwd.c_str(), 0755);
    ASSERT_EQ(0, chdir(cwd.c_str()));
    UseRoot("my rec $HOME `touch R` $(touch S) it's/");
    std::string odd =
        tmp_.Write(root_.substr(tmp_.path().size() + 1) +
                       "2024/05/05/it's $PATH `touch T`2024-05-05#10-00-00_2024-05-05#10-10-00.avi",
                   std::string(kFileSize, 'q'));
    std::string later = Recording(6, 0);
    int64_t quota = UsedByDu() + kReserve - kFileSize / 2;
    Start({{"nvr_max_storage_space", std::to_string(quota)}});
    Check();
    EXPECT_TRUE(tarsel_->WaitForLine("Quota used off and delete file " + odd));
    EXPECT_EQ(402, NextRecord().first);
    EXPECT_EQ(3, NextRecord().first);
    EXPECT_FALSE(FileExists(odd));
    EXPECT_TRUE(FileExists(later));
    EXPECT_EQ("", harness::Run({"ls", "-A", cwd}).output);
    EXPECT_EQ("", harness::Run({"find", tmp_.path(), "-name", "[RST]"}).output);
}

// The file being written is passed over even when nothing else is left.
TEST_F(TarselStorageTest, FileBeingWrittenIsNeverDeleted) {
    std::string older = Recording(5, 0);
    time_t start = time(nullptr) - 60;
    struct tm t;
    localtime_r(&start, &t);
    char relative[128];
    strftime(relative, sizeof(relative), "%Y/%m/%d/cam%Y-%m-%d#%H-%M-%S_.avi", &t);
    std::string current =
        tmp_.Write(root_.substr(tmp_.path().size() + 1) + relative, std::string(kFileSize, 'c'));
    Start({{"nvr_max_storage_space", "1"}});
    Check();
    EXPECT_EQ((Signals{{SIGUSR1, kNotify}, {SIGUSR1, kNotify}, {SIGUSR2, 0}}), WaitSignals(3));
    EXPECT_TRUE(tarsel_->WaitForLine("Error: No old file to delete"));
    EXPECT_FALSE(FileExists(older));
    EXPECT_TRUE(FileExists(current));
}

}  // namespace
