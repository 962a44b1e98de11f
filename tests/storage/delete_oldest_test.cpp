// delete_oldest_test.cpp -- DeleteOldestFile over recording trees of the
// test's own, with the real ls and rm (a stand-in rm where rm must fail).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "logging.h"
#include "storage.h"

namespace {

using harness::FileExists;

class DeleteOldestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLogging("TARSEL");
        std::string key = tmp_.At("log.key");
        logQueue_.reset(new harness::QueueReader(key));
        OpenMessageQueues(key.c_str(), "", 0);
        memset(&config_, 0, sizeof(config_));
        config_.nvr_change_file_interval = 10;
        UseRoot("rec/");
    }
    void TearDown() override { gLogging.logQueueId = -1; }

    void UseRoot(const std::string &relative) {
        root_ = tmp_.At(relative);
        mkdir(root_.c_str(), 0755);
        snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s", root_.c_str());
        snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s",
                 root_.c_str());
    }
    // Writes a file of size bytes under the root ("2024/05/06/name").
    std::string Put(const std::string &relative, size_t size = 1000) {
        return tmp_.Write(root_.substr(tmp_.path().size() + 1) + relative, std::string(size, 'v'));
    }
    // A finished recording of that day, started at hh:mm:ss.
    std::string Recording(const char *y, const char *m, const char *d, const char *time,
                          size_t size = 1000) {
        std::string date = std::string(y) + "-" + m + "-" + d;
        return Put(std::string(y) + "/" + m + "/" + d + "/cam" + date + "#" + time + "_" + date +
                       "#23-59-59.avi",
                   size);
    }
    // A recording still being written (or left by a crash), started secondsAgo.
    std::string InProgress(int secondsAgo) {
        time_t start = time(nullptr) - secondsAgo;
        struct tm t;
        localtime_r(&start, &t);
        char relative[128];
        strftime(relative, sizeof(relative), "%Y/%m/%d/cam%Y-%m-%d#%H-%M-%S_.avi", &t);
        return Put(relative);
    }
    std::string Folder(const std::string &relative) {
        std::string path = root_ + relative;
        EXPECT_EQ(0, system(("mkdir -p '" + path + "'").c_str()));
        return path;
    }
    // Texts of the log records queued so far.
    std::vector<std::string> Logged() { return logQueue_->PendingLogTexts(); }
    static bool Has(const std::vector<std::string> &lines, const std::string &text) {
        for (const auto &line : lines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    harness::TempRoot tmp_;
    std::string root_;
    RecorderConfig config_;
    std::unique_ptr<harness::QueueReader> logQueue_;
};

TEST_F(DeleteOldestTest, OldestFirstAndEmptyFoldersRemovedOnLaterCalls) {
    std::string a = Recording("2023", "12", "31", "23-50-00", 1111);
    std::string b = Recording("2024", "01", "02", "08-00-00", 2222);
    std::string c = Recording("2024", "01", "02", "09-00-00", 3333);

    EXPECT_EQ(1111, DeleteOldestFile(&config_));
    EXPECT_FALSE(FileExists(a));
    EXPECT_TRUE(FileExists(b));
    std::vector<std::string> logged = Logged();
    ASSERT_EQ(1u, logged.size());
    EXPECT_NE(std::string::npos, logged[0].find("Quota used off and delete file " + a +
                                                " to reclaim 1111 bytes of storage space"));

    EXPECT_EQ(2222, DeleteOldestFile(&config_));
    EXPECT_FALSE(FileExists(root_ + "2023/12/31"));
    EXPECT_TRUE(Has(Logged(), "Delete empty folder " + root_ + "2023/12/31"));
    EXPECT_EQ(3333, DeleteOldestFile(&config_));
    EXPECT_TRUE(Has(Logged(), "Delete empty folder " + root_ + "2023/12"));
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    logged = Logged();
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2023"));
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2024/01/02"));
    EXPECT_FALSE(FileExists(root_ + "2023"));
}

TEST_F(DeleteOldestTest, EmptyOrMissingRootDeletesNothing) {
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    UseRoot("missing/");
    rmdir(root_.c_str());
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(DeleteOldestTest, FoldersOutsideTheNameRulesAreNeverEntered) {
    std::vector<std::string> kept = {
        Put("0999/05/06/cam0999-05-06#10-00-00_0999-05-06#10-10-00.avi"),
        Put("20240/05/06/cam20240-05-06#10-00-00_x.avi"),
        Put("2024/13/06/cam2024-13-06#10-00-00_2024-13-06#10-10-00.avi"),
        Put("2024/05/32/cam2024-05-32#10-00-00_2024-05-32#10-10-00.avi"),
        Put("2024/5/06/cam2024-5-06#10-00-00_2024-5-06#10-10-00.avi"),
        Put("2024/05/06/cam2024-05-07#10-00-00_2024-05-07#10-10-00.avi"),  // another day's name
        Put("2024/05/06/notes.avi.txt"),
    };
    std::string zero = Recording("2024", "00", "00", "10-00-00");
    EXPECT_EQ(1000, DeleteOldestFile(&config_));  // month and day 00 are accepted
    EXPECT_FALSE(FileExists(zero));
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    for (const auto &path : kept) EXPECT_TRUE(FileExists(path)) << path;
}

TEST_F(DeleteOldestTest, FileBeingWrittenIsKeptAndItsFolderToo) {
    std::string current = InProgress(5 * 60);
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    EXPECT_TRUE(FileExists(current));
    EXPECT_FALSE(Has(Logged(), "Delete empty folder"));

    std::string leftover = InProgress(60 * 60);  // left by a crash an hour ago
    EXPECT_EQ(1000, DeleteOldestFile(&config_));
    EXPECT_FALSE(FileExists(leftover));
    EXPECT_TRUE(FileExists(current));
}

TEST_F(DeleteOldestTest, EarlierFolderWithOtherFilesIsLoggedButStays) {
    Put("2020/02/03/notes.txt");
    Folder("2020/02/04");
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    std::vector<std::string> logged = Logged();
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2020/02/03"));
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2020/02/04"));
    EXPECT_TRUE(FileExists(root_ + "2020/02/03/notes.txt"));
    EXPECT_FALSE(FileExists(root_ + "2020/02/04"));
}

TEST_F(DeleteOldestTest, FoldersOfTodayThisMonthAndThisYearStay) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char today[32], thisMonthOnly[32], thisYearOnly[32];
    strftime(today, sizeof(today), "%Y/%m/%d", &t);
    strftime(thisYearOnly, sizeof(thisYearOnly), "%Y", &t);
    Folder(today);
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    EXPECT_TRUE(FileExists(root_ + today));
    rmdir((root_ + today).c_str());
    strftime(thisMonthOnly, sizeof(thisMonthOnly), "%Y/%m", &t);
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    EXPECT_TRUE(FileExists(root_ + thisMonthOnly));
    rmdir((root_ + thisMonthOnly).c_str());
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    EXPECT_TRUE(FileExists(root_ + thisYearOnly));
    EXPECT_FALSE(Has(Logged(), "Delete empty folder"));
}

// More folders than ten years, twelve months: every one is walked.
TEST_F(DeleteOldestTest, ListsGrowBeyondTenYearsAndTwelveMonths) {
    for (int year = 2001; year <= 2012; year++) Folder(std::to_string(year));
    for (int month = 0; month <= 11; month++) {
        char name[16];
        snprintf(name, sizeof(name), "2013/%02d", month);
        Folder(name);
    }
    std::string december = Recording("2013", "12", "31", "10-00-00", 4321);
    EXPECT_EQ(4321, DeleteOldestFile(&config_));
    EXPECT_FALSE(FileExists(december));
    std::vector<std::string> logged = Logged();
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2012"));
    EXPECT_TRUE(Has(logged, "Delete empty folder " + root_ + "2013/11"));
}

TEST_F(DeleteOldestTest, FileAbove2GiBReportsItsExactSize) {
    std::string big = Recording("2024", "05", "06", "10-00-00", 0);
    ASSERT_EQ(0, truncate(big.c_str(), INT64_C(3221225472)));
    EXPECT_EQ(INT64_C(3221225472), DeleteOldestFile(&config_));
    EXPECT_TRUE(Has(Logged(), "to reclaim 3221225472 bytes of storage space"));
}

// Names that hold a blank, "$", a backquote or a single quote reach ls and
// rm as plain text: the right file goes and nothing else runs.
TEST_F(DeleteOldestTest, QuotedNamesNeitherBreakNorRunCommands) {
    std::string cwd = tmp_.At("cwd");
    mkdir(cwd.c_str(), 0755);
    ASSERT_EQ(0, chdir(cwd.c_str()));
    UseRoot("r $HOME `touch R` $(touch S) '/");
    const char *prefixes[] = {"it's ", "a b$HOME", "`touch ran`", "$(touch ran2)'"};
    std::vector<std::string> files;
    int second = 10;
    for (const char *prefix : prefixes) {
        std::string name = std::string(prefix) + "2024-05-06#10-00-" + std::to_string(second++) +
                           "_2024-05-06#10-10-00.avi";
        files.push_back(Put("2024/05/06/" + name, 700));
    }
    // One file per call, whichever the listing order puts first.
    for (size_t call = 1; call <= files.size(); call++) {
        EXPECT_EQ(700, DeleteOldestFile(&config_));
        size_t gone = 0;
        for (const auto &file : files) gone += FileExists(file) ? 0 : 1;
        EXPECT_EQ(call, gone);
    }
    std::vector<std::string> logged = Logged();
    for (const auto &file : files) EXPECT_TRUE(Has(logged, "delete file " + file)) << file;
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
    harness::RunResult left = harness::Run({"ls", "-A", cwd});
    EXPECT_EQ("", left.output);
    EXPECT_TRUE(FileExists(root_));
}

// A root of about 1000 characters and a 250-character name: the commands are
// built whole (the file goes), the log record is cut to its field.
TEST_F(DeleteOldestTest, LongRootAndNameAreNeitherCutNorOverrun) {
    std::string relative = "rec";
    while (tmp_.At(relative).size() + 200 < 1000) relative += "/" + std::string(190, 'd');
    relative += "/";
    ASSERT_EQ(0, system(("mkdir -p '" + tmp_.At(relative) + "'").c_str()));
    UseRoot(relative);
    ASSERT_GT(root_.size(), 900u);
    ASSERT_LT(root_.size(), sizeof(config_.nvr_record_folder));
    std::string name = std::string(225, 'n') + "2024-05-06#10-00-00_.avi";
    std::string file = Put("2024/05/06/" + name, 4242);
    EXPECT_EQ(4242, DeleteOldestFile(&config_));
    EXPECT_FALSE(FileExists(file));
    std::vector<std::string> logged = Logged();
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(0u, logged[0].find("TARSEL-"));
    EXPECT_NE(std::string::npos, logged[0].find("Quota used off and delete file " + tmp_.path()));
    EXPECT_LT(logged[0].size(), 258u);
}

// An rm that runs but cannot delete reclaims nothing: the file is logged and
// passed over, and the next recording goes instead.
TEST_F(DeleteOldestTest, FailedRmIsNotCountedAsReclaimed) {
    std::string bin = tmp_.At("bin");
    mkdir(bin.c_str(), 0755);
    tmp_.Write("bin/rm",
               "#!/bin/sh\n"
               "# rm stand-in: refuses files whose name holds \"stuck\".\n"
               "case \"$*\" in *stuck*) echo \"rm: cannot remove: Permission denied\" >&2;"
               " exit 1;; esac\n"
               "exec /bin/rm \"$@\"\n");
    chmod((bin + "/rm").c_str(), 0755);
    setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);

    std::string stuck = Put("2024/05/06/cam2024-05-06#09-00-00_2024-05-06#09-10-00.stuck.avi", 900);
    std::string next = Recording("2024", "05", "06", "10-00-00", 1200);
    EXPECT_EQ(1200, DeleteOldestFile(&config_));
    EXPECT_TRUE(FileExists(stuck));
    EXPECT_FALSE(FileExists(next));
    std::vector<std::string> logged = Logged();
    EXPECT_TRUE(Has(logged, "Error: Fail to delete file " + stuck))
        << ::testing::PrintToString(logged);
    EXPECT_EQ(-1, DeleteOldestFile(&config_));
}

}  // namespace
