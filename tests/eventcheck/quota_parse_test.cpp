// quota_parse_test.cpp -- mount, df and repquota output, the language table, the quota files and
// the notice file.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "orlinda.h"

namespace {

struct Text {
    explicit Text(const std::string &s) : text(s) {
        in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    }
    ~Text() { fclose(in); }
    std::string text;
    FILE *in;
};

TEST(OrlindaCommandOutput, MountAndDfLines) {
    std::string device, type, mount;
    EXPECT_EQ(0, ParseMountLine("/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n", &device, &type));
    EXPECT_EQ("/dev/sda1", device);
    EXPECT_EQ("ext3", type);
    EXPECT_EQ(1, ParseMountLine("/dev/sda1 on /mnt/USB5\n", &device, &type));
    EXPECT_EQ(0, ParseDfLine("/dev/sda1  100 50 50 50% /mnt/USB5/C:\n", &mount));
    EXPECT_EQ("/mnt/USB5/C:", mount);
    EXPECT_EQ(1, ParseDfLine("/dev/sda1 100 50\n", &mount));
    std::string longWord(100000, 'x');
    EXPECT_EQ(0, ParseMountLine((longWord + " on m type " + longWord).c_str(), &device, &type));
    EXPECT_EQ(longWord, type);
}

TEST(OrlindaCommandOutput, VolumeLabels) {
    struct Case {
        const char *mount;
        int result;
        const char *label;
    } cases[] = {
        {"/mnt/USB5/C:", 0, "[HDD1]C:"},
        {"/mnt/USB3/D:", 0, "[eSATA]D:"},
        {"/mnt/USB8/Q:", 0, "[HDD4]Q:"},
        {"/mnt/USB9/C:", 1, ""},
        {"/mnt/USB5", 1, ""},
        {"/media/USB5/C:", 1, ""},
    };
    for (const Case &c : cases) {
        std::string label;
        EXPECT_EQ(c.result, QuotaVolumeLabel(c.mount, &label)) << c.mount;
        if (c.result == 0) {
            EXPECT_EQ(c.label, label) << c.mount;
        }
    }
}

TEST(OrlindaCommandOutput, RepquotaTable) {
    const char *lines[] = {
        "*** Report for user quotas on device /dev/sda1\n",
        "User            used    soft    hard  grace    used  soft  hard  grace\n",
        "alice -- 1 0 0 1 0 0\n",  // before the dashes: skipped
        "----------------------------------------------------------------------\n",
        "root      --      20       0       0              2     0     0\n",
        "#1001     --      30       0       0              2     0     0\n",
        "alice     +-  1024000  0  0   6days   5 0 0\n",
        "short --\n",
        "\n",
        "bob       --      99       0       0              1     0     0\n",
    };
    int started = 0, ended = 0;
    std::vector<std::string> seen;
    for (const char *line : lines) {
        RepquotaLine parsed;
        if (ParseRepquotaLine(line, &started, &ended, &parsed) == 1) {
            seen.push_back(parsed.name + "=" + std::to_string(parsed.usedKb));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"root=20", "alice=1024000"}), seen);
}

TEST(OrlindaCommandOutput, LanguageCodeTable) {
    const char js[] =
        "var x = 1;\n"
        "var languageIdSet = new Array\n"
        "(\n"
        "\"xx\",\n"
        "\"en\",\n"
        "\"sc\",\n"
        "\"a\",\n"
        ")\n"
        "\"de\",\n";
    struct Case {
        int language;
        int result;
        const char *code;
    } cases[] = {{0, 0, "en"}, {1, 0, "sc"}, {2, 1, ""}, {3, 1, ""}, {-1, 0, "xx"}, {9, 1, ""}};
    for (const Case &c : cases) {
        Text t(js);
        std::string code;
        EXPECT_EQ(c.result, ParseLanguageCode(t.in, c.language, &code)) << c.language;
        if (c.result == 0) {
            EXPECT_EQ(c.code, code) << c.language;
        }
    }
    Text none("var other = new Array\n(\n\"en\"\n)\n");
    std::string code;
    EXPECT_EQ(1, ParseLanguageCode(none.in, 0, &code));
}

TEST(OrlindaNasUsers, ListTable) {
    struct Case {
        const char *value;
        std::vector<std::string> users;
    } cases[] = {
        {"", {}},
        {"alice", {"alice"}},
        {"abcdefghijklmnopqrst", {"abcdefghijklmnopqrst"}},
        {"abcdefghijklmnopqrstu", {}},
        {"alice,bob,,carol", {"alice", "bob", "", "carol"}},
        {"alice,abcdefghijklmnopqrstu,bob", {"alice", "", "bob"}},
        {"alice,", {"alice", ""}},
    };
    for (const Case &c : cases) EXPECT_EQ(c.users, ParseNasUsers(c.value)) << c.value;
}

TEST(OrlindaQuotaFiles, SplitLines) {
    struct Case {
        const char *line;
        int result;
        const char *key, *value;
    } cases[] = {
        {"userName =alice\n", 0, "userName", "alice"},
        {"quotaSet =Warning and Quota\r\n", 0, "quotaSet", "Warning and Quota"},
        {"userEnd\n", 0, "userEnd", ""},
        {"mailAddress =a=b@c\n", 0, "mailAddress", "a=b@c"},
        {"\n", 1, "", ""},
        {"=x\n", 1, "", ""},
    };
    for (const Case &c : cases) {
        std::string key, value;
        EXPECT_EQ(c.result, SplitQuotaLine(c.line, &key, &value)) << c.line;
        if (c.result == 0) {
            EXPECT_EQ(c.key, key) << c.line;
            EXPECT_EQ(c.value, value) << c.line;
        }
    }
    EXPECT_EQ(0, ParseQuotaSet("No Limit"));
    EXPECT_EQ(1, ParseQuotaSet("Warning and Quota"));
    EXPECT_EQ(2, ParseQuotaSet("Quota Only"));
    EXPECT_EQ(-1, ParseQuotaSet("Default"));
    EXPECT_EQ(-2, ParseQuotaSet("Quota"));
}

TEST(OrlindaQuotaFiles, UserAndTeamSections) {
    std::vector<std::string> users = {"alice", "bob", "carol"};
    Text userFile(
        "DefaultSetting\nquotaSet =Quota Only\nwarningLevel =100\nquotaLimit =2000\nuserEnd\n"
        "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =500\nquotaLimit =1000\n"
        "mailAddress =alice@example.com\nuserEnd\n"
        "userName =mallory\nquotaSet =Quota Only\nmailAddress =m@example.com\nuserEnd\n"
        "userName =carol\nquotaSet =Default\nmailAddress =\nuserEnd\n");
    QuotaFiles files;
    ReadQuotaUserFile(userFile.in, users, &files);
    EXPECT_EQ(2, files.defaults.quotaSet);
    EXPECT_EQ(2000, files.defaults.quotaLimit);
    ASSERT_EQ(2u, files.users.size());
    EXPECT_EQ(0, files.users[0].index);
    EXPECT_EQ(1, files.users[0].section.quotaSet);
    EXPECT_EQ(500, files.users[0].section.warningLevel);
    EXPECT_EQ(1000, files.users[0].section.quotaLimit);
    EXPECT_EQ(2, files.users[1].index);
    EXPECT_EQ(-1, files.users[1].section.quotaSet);
    EXPECT_EQ((std::vector<std::string>{"alice@example.com", "", ""}), files.mailAddress);

    Text teamFile(
        "teamName =staff\nteamMemeber =alice,mallory,carol\nquotaSet =Quota Only\n"
        "quotaLimit =3000\nteamEnd\n"
        "teamName =Anonymous\nteamMemeber =bob\nquotaSet =Default\nteamEnd\n"
        "teamName =guests\nquotaSet =Warning and Quota\nteamEnd\n");
    ReadQuotaTeamFile(teamFile.in, users, &files);
    ASSERT_EQ(3u, files.teams.size());
    EXPECT_EQ("staff", files.teams[0].name);
    EXPECT_EQ((std::vector<int>{0, 2}), files.teams[0].members);
    EXPECT_EQ(3000, files.teams[0].section.quotaLimit);
    EXPECT_EQ("Anonymous", files.teams[1].name);
    EXPECT_TRUE(files.teams[1].members.empty());
    EXPECT_EQ(-1, files.teams[1].section.quotaSet);
    EXPECT_TRUE(files.teams[2].members.empty());  // no member line: no members of staff
}

TEST(OrlindaQuotaLevels, LimitWithAKilobyteOfSlack) {
    struct Case {
        int set;
        int64_t warning, limit, used;
        int reached;
    } cases[] = {
        {2, 0, 1000, 1000 * 1024 - 1, 2},                                 // one kilobyte of slack
        {2, 0, 1000, 1000 * 1024 - 2, 0}, {2, 500, 1000, 600 * 1024, 0},  // quota only: no warning
        {1, 500, 1000, 600 * 1024, 1},    {1, 500, 1000, 500 * 1024 - 1, 0},
        {1, 500, 0, 600 * 1024, 1},  // an empty or zero limit is no limit
        {2, 0, 0, INT64_MAX, 0},          {1, 500, INT64_MAX, INT64_MAX - 1, 2},
    };
    for (const Case &c : cases) {
        QuotaSection section;
        section.quotaSet = c.set;
        section.warningLevel = c.warning;
        section.quotaLimit = c.limit;
        EXPECT_EQ(c.reached, QuotaReached(section, c.used)) << c.set << " " << c.used;
    }
}

// The notice file rewritten for one name at a fixed local time.
struct Notice {
    std::string out;
    int due, first;
};
Notice Rewrite(const std::string &in, const char *name, int kind, int frequency, time_t now) {
    Text text(in);
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    Notice notice;
    notice.due = RewriteQuotaNotice(text.in, out, name, kind, frequency, now, &notice.first);
    fclose(out);
    notice.out.assign(buffer, size);
    free(buffer);
    return notice;
}

time_t LocalTime(int year, int month, int day, int hour) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_isdst = -1;
    return mktime(&t);
}

TEST(OrlindaQuotaNotice, RepeatRuleTable) {
    time_t now = LocalTime(2026, 12, 10, 12);
    const std::string other = "name =bob\nwarningLevel =2026-1-1\nquotaLimit =\n";
    struct Case {
        const char *file;
        int kind, frequency, due, first;
        const char *out;
    } cases[] = {
        // not there: appended, a first notice
        {"", 0, 1, 1, 1, "name =alice\nwarningLevel =2026-12-10\nquotaLimit =\n"},
        {"", 1, 0, 1, 1, "name =alice\nwarningLevel =\nquotaLimit =2026-12-10\n"},
        // dated yesterday: not repeated
        {"name =alice\nwarningLevel =2026-12-9\nquotaLimit =\n", 0, 1, 0, 0,
         "name =alice\nwarningLevel =2026-12-9\nquotaLimit =\n"},
        // two days back: repeated with a non-zero frequency, never with 0
        {"name =alice\nwarningLevel =2026-12-8\nquotaLimit =\n", 0, 1, 1, 0,
         "name =alice\nwarningLevel =2026-12-10\nquotaLimit =\n"},
        {"name =alice\nwarningLevel =2026-12-8\nquotaLimit =\n", 0, 0, 0, 0,
         "name =alice\nwarningLevel =2026-12-8\nquotaLimit =\n"},
        // empty date: a first notice; a warning clears the limit date
        {"name =alice\nwarningLevel =\nquotaLimit =2026-12-1\n", 0, 1, 1, 1,
         "name =alice\nwarningLevel =2026-12-10\nquotaLimit =\n"},
        {"name =alice\nwarningLevel =2026-12-1\nquotaLimit =\n", 1, 0, 1, 1,
         "name =alice\nwarningLevel =2026-12-1\nquotaLimit =2026-12-10\n"},
        // a last line without newline before the appended section
        {"name =bob\nquotaLimit =", 1, 0, 1, 1,
         "name =bob\nquotaLimit =\nname =alice\nwarningLevel =\nquotaLimit =2026-12-10\n"},
    };
    for (const Case &c : cases) {
        Notice n = Rewrite(c.file, "alice", c.kind, c.frequency, now);
        EXPECT_EQ(c.due, n.due) << c.file;
        EXPECT_EQ(c.first, n.first) << c.file;
        EXPECT_EQ(c.out, n.out) << c.file;
    }
    // Other sections stay as they are, before and after.
    Notice n = Rewrite(other + "name =alice\nwarningLevel =2026-12-9\nquotaLimit =\n" + other,
                       "alice", 1, 1, now);
    EXPECT_EQ(other + "name =alice\nwarningLevel =2026-12-9\nquotaLimit =2026-12-10\n" + other,
              n.out);
}

}  // namespace
