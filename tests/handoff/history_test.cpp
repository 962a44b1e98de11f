// history_test.cpp -- reading and writing hand-off records, well formed and not.
#include <gtest/gtest.h>

#include "handoff_history.h"

namespace {

const char kRecord[] =
    "[alice]\ntype\tfolder\nsize\t12\nsend_time\t2026/12/10 9:5:3\nfile_name\tphotos\n"
    "files_id\t12345678901234567890\ninternet_link\tftp://a/PARCELO_FINAL_SHARE/x\n"
    "lan_link\t\\\\b\\PARCELO_FINAL_SHARE\\x\nexpired_time\t2027/1/9 9:5:3\nstatus\tSuccess\n"
    "email_path\t\n";

TEST(HistoryTest, RoundTrip) {
    std::vector<HistoryRecord> r = ParseHistoryText(std::string(kRecord) + kRecord);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("alice", r[0].section);
    EXPECT_EQ("12", r[0].size);
    EXPECT_EQ("2026/12/10 9:5:3", r[0].sendTime);
    EXPECT_EQ("Success", r[1].status);
    EXPECT_EQ(kRecord, FormatHistoryRecord(r[0]));
}

TEST(HistoryTest, JunkDoesNotLeakBetweenRecords) {
    std::string text =
        "junk before\nstatus\tSuccess\n[bob\ntype\tx\nno tab here\nweird\tkey\n"
        "[carol]\nfiles_id\t1\n[]\nstatus";
    std::vector<HistoryRecord> r = ParseHistoryText(text);
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ("bob", r[0].section);
    EXPECT_EQ("x", r[0].type);
    EXPECT_EQ("", r[0].status);
    EXPECT_EQ("carol", r[1].section);
    EXPECT_EQ("", r[1].type);
    EXPECT_EQ("1", r[1].filesId);
    EXPECT_EQ("", r[2].section);
    EXPECT_EQ("", r[2].status);  // the last line has no tab and no line end
}

TEST(HistoryTest, LongLinesAreCutNotSplit) {
    std::string text = "[alice]\nfile_name\t" + std::string(3 << 20, 'n') +
                       "\tstatus\tSuccess\n[bob]\nstatus\tFailed\n" + std::string(1000, '[');
    std::vector<HistoryRecord> r = ParseHistoryText(text);
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(kHistoryLineMax - 10, r[0].fileName.size());
    EXPECT_EQ("", r[0].status);
    EXPECT_EQ("Failed", r[1].status);
    EXPECT_EQ(kHistoryLineMax - 1, r[2].section.size());
}

}  // namespace
