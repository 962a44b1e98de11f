// storage_parse_test.cpp -- columns of du, df and "ls -l" output as this
// machine's tools print them, the folder and file name rules, the age rule
// and the camera reserve.
#include "storage_parse.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "logging.h"
#include "storage.h"

namespace {

struct ColumnCase {
    std::string line;
    char separator;
    int column;
    size_t outSize;
    std::string expected;
};

TEST(GetColumnTest, TableOfLines) {
    const std::vector<ColumnCase> cases = {
        {"4\t/rec/2024/05/06", '\t', 1, 32, "4"},
        {"4\t/rec/a b/2024", '\t', 2, 32, "/rec/a b/2024"},
        {"a   b    c", ' ', 3, 32, "c"},
        {"  a b", ' ', 1, 32, ""},  // a leading separator: empty first column
        {"  a b", ' ', 2, 32, "a"},
        {"a b\r\n", ' ', 2, 32, "b"},
        {"a b\r\n", ' ', 3, 32, ""},
        {"a b\nc d", ' ', 3, 32, ""},  // stops at the line end
        {std::string("a b\0c", 5), ' ', 3, 32, ""},
        {"123456789", ' ', 1, 4, "123"},  // cut to outSize - 1
        {"a b", ' ', 0, 32, ""},
        {"", '\t', 1, 32, ""},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, 'x', sizeof(out));
        size_t n = GetColumn(c.line.data(), c.line.size(), out, c.outSize, c.separator, c.column);
        EXPECT_EQ(c.expected, std::string(out)) << "line '" << c.line << "' column " << c.column;
        EXPECT_EQ(c.expected.size(), n) << "line '" << c.line << "' column " << c.column;
    }
}

TEST(GetColumnTest, LineLengthBoundsTheScan) {
    const char line[] = "abc def";
    char out[16];
    EXPECT_EQ(0u, GetColumn(line, 3, out, sizeof(out), ' ', 2));
    EXPECT_EQ(2u, GetColumn(line, 6, out, sizeof(out), ' ', 2));
    EXPECT_STREQ("de", out);
}

TEST(ParseByteCountTest, DigitsOnlyAndNoOverflow) {
    int64_t bytes = -5;
    EXPECT_EQ(0, ParseByteCount("0", 1024, &bytes));
    EXPECT_EQ(0, bytes);
    EXPECT_EQ(0, ParseByteCount("3145732", 1024, &bytes));
    EXPECT_EQ(INT64_C(3221229568), bytes);
    EXPECT_EQ(0, ParseByteCount("9007199254740991", 1024, &bytes));  // 2^53 - 1 blocks
    EXPECT_EQ(INT64_C(9223372036854774784), bytes);
    for (const char *bad : {"", "12a", "-5", " 5", "9007199254740992", "99999999999999999999"}) {
        EXPECT_EQ(1, ParseByteCount(bad, 1024, &bytes)) << bad;
    }
}

// Parsers that log errors are read through a log queue of the test's own.
class StorageOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLogging("TARSEL");
        std::string key = root_.At("log.key");
        logQueue_.reset(new harness::QueueReader(key));
        OpenMessageQueues(key.c_str(), "", 0);
    }
    void TearDown() override { gLogging.logQueueId = -1; }

    // Feeds text as a tool's output to reader.
    int64_t Read(OutputLineReader reader, const std::string &text) {
        std::string copy = text;
        FILE *stream = fmemopen(copy.empty() ? nullptr : &copy[0], copy.size(), "r");
        if (stream == nullptr) stream = fopen("/dev/null", "r");
        int64_t result = ReadSpaceOutput(stream, reader);
        fclose(stream);
        return result;
    }
    // The texts of the log records queued so far.
    std::vector<std::string> Logged() { return logQueue_->PendingLogTexts(); }

    harness::TempRoot root_;
    std::unique_ptr<harness::QueueReader> logQueue_;
};

const char kDfHeader[] = "Filesystem     1K-blocks     Used Available Use% Mounted on\n";

TEST_F(StorageOutputTest, DuTotalIsTheLastLineAbove2GiB) {
    EXPECT_EQ(INT64_C(3221229568), Read(TakeDuLine,
                                        "3145728\t/rec/2024/05/06\n3145732\t/rec/2024/05\n"
                                        "3145732\t/rec/ with blank/\n"));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(StorageOutputTest, DuInvalidLinesAreLoggedAndSkipped) {
    EXPECT_EQ(8192, Read(TakeDuLine, "8\t/rec/\n\tno number\nabc\t/rec/\n"));
    std::vector<std::string> logged = Logged();
    ASSERT_EQ(2u, logged.size());
    EXPECT_NE(std::string::npos,
              logged[0].find("Error: Get invalid du output line in GetFolderUsedSpace()"));
    EXPECT_EQ(-1, Read(TakeDuLine, ""));
}

TEST_F(StorageOutputTest, DfAvailableAbove2TiB) {
    std::string out = std::string(kDfHeader) +
                      "/dev/sda3      3907017784  907017784 2500000000  27% /nasext/main\n";
    EXPECT_EQ(INT64_C(2560000000000), Read(TakeDfLine, out));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(StorageOutputTest, DfMissingLinesAndColumns) {
    EXPECT_EQ(-1, Read(TakeDfLine, ""));
    EXPECT_EQ(-1, Read(TakeDfLine, kDfHeader));
    EXPECT_TRUE(Logged().empty());  // missing lines are silent
    EXPECT_EQ(-1, Read(TakeDfLine, std::string(kDfHeader) + "/dev/sda3 100 50\n"));
    EXPECT_EQ(-1, Read(TakeDfLine, std::string(kDfHeader) + "/dev/sda3 100 50 ab 1% /\n"));
    std::vector<std::string> logged = Logged();
    ASSERT_EQ(2u, logged.size());
    EXPECT_NE(std::string::npos,
              logged[1].find("Error: Fail to get disk free space in GetFolderFreeSpace()"));
}

// The real tools on a folder of the test, read back with other options.
TEST_F(StorageOutputTest, RealDuAndDfAgreeWithTheirSummaries) {
    root_.Write("tree/2024/05/06/a.avi", std::string(100000, 'x'));
    root_.Write("tree/2024/05/07/b b.avi", std::string(5000, 'y'));
    harness::RunResult summary = harness::Run({"du", "-s", "-k", root_.At("tree/")});
    ASSERT_EQ(0, summary.status);
    EXPECT_EQ(atoll(summary.output.c_str()) * 1024, GetFolderUsedSpace(root_.At("tree/").c_str()));

    harness::RunResult df = harness::Run({"df", "-P", "-k", root_.At("tree/")});
    ASSERT_EQ(0, df.status);
    std::string second = df.output.substr(df.output.find('\n') + 1);
    char column[32];
    ASSERT_GT(GetColumn(second.c_str(), second.size(), column, sizeof(column), ' ', 4), 0u);
    int64_t expected = atoll(column) * 1024;
    int64_t measured = GetFolderFreeSpace(root_.At("tree/").c_str());
    // Other tests write to the same volume meanwhile.
    EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(measured), 1 << 30);
}

struct ListingCase {
    std::string line;
    int result;
    int kind;
    std::string name;
    std::string size;
};

TEST(ParseListingLineTest, TableOfLsLines) {
    const std::string longName(1100, 'n');
    const std::vector<ListingCase> cases = {
        {"-rw-r--r-- 1 root root 3221225472 Dec 10 00:57 cam2024-05-06#12-30-45_.avi\n", 0,
         LISTING_FILE, "cam2024-05-06#12-30-45_.avi", "3221225472"},
        {"drwxr-xr-x  2 root root  4096 May  9  2025 2024", 0, LISTING_FOLDER, "2024", "4096"},
        {"-rw-r--r-- 1 root root 5 Dec 10 00:57 a  b.avi\r\n", 0, LISTING_FILE, "a  b.avi", "5"},
        {"-rw-r--r-- 1 root root 5 Dec 10 00:57  lead", 0, LISTING_FILE, " lead", "5"},
        {"-rw-r--r-- 1 root root 5 Dec 10 00:57 it's $HOME `id`", 0, LISTING_FILE,
         "it's $HOME `id`", "5"},
        {"lrwxrwxrwx  1 root root     7 May 20  2025 bin -> usr/bin", 0, LISTING_OTHER, "", ""},
        {"total 80", 0, LISTING_OTHER, "", ""},
        {"", 1, LISTING_OTHER, "", ""},
        {"drwxr-xr-x 2 root root 4096 May  9  2025", 1, LISTING_FOLDER, "", "4096"},
        {"drwxr-xr-x 2 root root 4096 May  9  2025 ", 1, LISTING_FOLDER, "", "4096"},
        {"-rw-r--r-- 1 root root 5 Dec 10 00:57 " + longName, 1, LISTING_FILE, "", "5"},
    };
    for (const auto &c : cases) {
        ListingEntry entry;
        EXPECT_EQ(c.result, ParseListingLine(c.line.c_str(), c.line.size(), &entry)) << c.line;
        EXPECT_EQ(c.kind, entry.kind) << c.line;
        EXPECT_EQ(c.name, entry.name) << c.line;
        EXPECT_EQ(c.size, entry.size) << c.line;
    }
}

TEST(NameRulesTest, YearMonthDayFolders) {
    for (const char *year : {"1000", "2024", "9999"}) EXPECT_TRUE(IsYearName(year)) << year;
    for (const char *year : {"0999", "20240", "202", "20a4", "", "2024 "}) {
        EXPECT_FALSE(IsYearName(year)) << year;
    }
    for (const char *month : {"00", "01", "09", "10", "12"}) EXPECT_TRUE(IsMonthName(month));
    for (const char *month : {"13", "19", "20", "1", "012", "1a", ""}) {
        EXPECT_FALSE(IsMonthName(month)) << month;
    }
    for (const char *day : {"00", "01", "19", "30", "31"}) EXPECT_TRUE(IsDayName(day));
    for (const char *day : {"32", "39", "40", "3", "031", "x1"}) EXPECT_FALSE(IsDayName(day));
}

TEST(NameRulesTest, RecordingsOfTheirDayFolder) {
    const char *name = "cam2024-05-06#12-30-45_2024-05-06#12-40-45.avi";
    EXPECT_EQ(name + 3, FindRecordingDate(name, "2024", "05", "06"));
    EXPECT_EQ(nullptr, FindRecordingDate(name, "2024", "05", "07"));  // another day
    EXPECT_EQ(nullptr, FindRecordingDate("c2024-05-06#12-30.avi", "2024", "05", "06"));   // 21
    EXPECT_NE(nullptr, FindRecordingDate("cc2024-05-06#12-30.avi", "2024", "05", "06"));  // 22
    EXPECT_EQ(nullptr, FindRecordingDate("cam2024-05-06#12-30-45_.mov", "2024", "05", "06"));
    EXPECT_EQ(nullptr, FindRecordingDate("notes about 2024-05-06.txt", "2024", "05", "06"));
}

// A name started `secondsAgo` before now, in progress or finished.
std::string NameStartedAgo(time_t now, int secondsAgo, bool inProgress) {
    time_t start = now - secondsAgo;
    struct tm local;
    localtime_r(&start, &local);
    char name[64];
    strftime(name, sizeof(name), "cam%Y-%m-%d#%H-%M-%S", &local);
    return std::string(name) + (inProgress ? "_.avi" : "_2099-01-01#00-00-00.avi");
}

TEST(AgeRuleTest, FileBeingWrittenIsPassedOverForIntervalPlusOneMinute) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const int interval = 10;
    const struct {
        int secondsAgo;
        bool inProgress;
        int protectedExpected;
    } cases[] = {
        {0, true, 1},    {300, true, 1},  {659, true, 1},  {660, true, 0},
        {3600, true, 0}, {-120, true, 1}, {300, false, 0}, {3600, false, 0},
    };
    for (const auto &c : cases) {
        std::string name = NameStartedAgo(now, c.secondsAgo, c.inProgress);
        const char *date = name.c_str() + 3;
        EXPECT_EQ(c.protectedExpected,
                  IsRecordingProtected(name.c_str(), date, 1, now, local.tm_isdst, interval))
            << name << " started " << c.secondsAgo << " s ago";
    }
}

TEST(AgeRuleTest, UnknownTimesProtect) {
    time_t now = time(nullptr);
    std::string old = NameStartedAgo(now, 3600, true);
    EXPECT_EQ(1, IsRecordingProtected(old.c_str(), old.c_str() + 3, 0, now, -1, 10));
    const char *garbled = "cam2024-05-06#1x-30-45_.avi";
    EXPECT_EQ(1, IsRecordingProtected(garbled, garbled + 3, 1, now, -1, 10));
    const char *shortName = "abcdefghij2024-05-06_.avi";
    EXPECT_EQ(1, IsRecordingProtected(shortName, shortName + 10, 1, now, -1, 10));
    time_t start = 0;
    EXPECT_EQ(1, ReadRecordingStart("2024-05-06#12-30", -1, &start));
    EXPECT_EQ(0, ReadRecordingStart("2024-05-06#12-30-45", -1, &start));
    struct tm local;
    localtime_r(&start, &local);
    EXPECT_EQ(2024 - 1900, local.tm_year);
    EXPECT_EQ(12, local.tm_hour);
    EXPECT_EQ(45, local.tm_sec);
}

TEST(CameraReserveTest, ProductCappedAtTheFileSize) {
    const struct {
        int fps, interval, width, height;
        int64_t maxFileSize, expected;
    } cases[] = {
        {10, 10, 640, 480, 1073741824, 184320000},
        {25, 30, 640, 480, 1073741824, 1073741824},  // 1382400000 is above the limit
        {10, 10, 320, 240, 100000, 100000},
        {100, 60, INT_MAX, INT_MAX, 1073741824, 1073741824},  // beyond 64 bits
        {1, 1, 1, 1, 1073741824, 6},
    };
    for (const auto &c : cases) {
        RecorderConfig config;
        memset(&config, 0, sizeof(config));
        config.ipcam_fps = c.fps;
        config.nvr_change_file_interval = c.interval;
        config.ipcam_video_width = c.width;
        config.ipcam_video_height = c.height;
        config.nvr_max_file_size = c.maxFileSize;
        EXPECT_EQ(c.expected, CameraReserve(&config))
            << c.fps << " fps " << c.width << "x" << c.height;
    }
}

}  // namespace
