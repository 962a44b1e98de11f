// quota_test.cpp -- the quota step end to end: volumes, levels, notices, mails and log records.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <map>

#include "event_fixture.h"

namespace eventtest {
namespace {

using CallList = std::vector<std::string>;

const char kUserFile[] =
    "DefaultSetting\nquotaSet =Quota Only\nwarningLevel =0\nquotaLimit =5000\nuserEnd\n"
    "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =2048\nquotaLimit =10240\n"
    "mailAddress =alice@example.com\nuserEnd\n"
    "userName =bob\nquotaSet =Quota Only\nwarningLevel =0\nquotaLimit =1000\nuserEnd\n"
    "userName =carol\nquotaSet =Default\nuserEnd\n"
    "userName =mallory\nquotaSet =Quota Only\nquotaLimit =0\nuserEnd\n";

const char kTeamFile[] =
    "teamName =staff\nteamMemeber =alice,carol\nquotaSet =Warning and Quota\n"
    "warningLevel =1024\nquotaLimit =2048\nteamEnd\n"
    "teamName =others\nteamMemeber =bob\nquotaSet =Default\nteamEnd\n"
    "teamName =Anonymous\nquotaSet =Default\nteamEnd\n";

const char kRepquota[] =
    "*** Report for quotas on device /dev/sda1\n"
    "Name            used    soft    hard  grace    used  soft  hard  grace\n"
    "----------------------------------------------------------------------\n"
    "root      --      20       0       0              2     0     0\n"
    "alice     --  3145728       0       0              2     0     0\n"
    "bob       +-  1023999       0       0              2     0     0\n"
    "carol     --     100       0       0              2     0     0\n"
    "staff-T   --  1536000       0       0              2     0     0\n"
    "others-T  --  9999999       0       0              2     0     0\n"
    "Anonymous-T -- 6144000      0       0              2     0     0\n"
    "\n"
    "mallory   --  0 0 0 0 0 0\n";

const char kJs[] = "var languageIdSet = new Array\n(\n\"de\",\n\"en\",\n\"sc\",\n)\n";

class OrlindaQuotaTest : public EventCheckTest {
  protected:
    void SetUp() override {
        EventCheckTest::SetUp();
        Set("QUOTA_ENABLE", "1");
        Set("QUOTA_ALERT", "1");
        Set("QUOTA_MAIL_FREQUENCY", "1");
        Set("NAS_USER_NAME", "alice,bob,carol");
        SetOutput("mount",
                  "/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n"
                  "/dev/sdb1 on /mnt/USB6/C: type vfat (rw)\n");
        SetOutput("df",
                  "/dev/sdb1 100 50 50 50% /mnt/USB6/C:\n"
                  "/dev/sda1 100 50 50 50% /mnt/USB5/C:\n");
        SetOutput("repquota", kRepquota);
        Write("mnt/USB5/C:/.system_file/quotaUser.conf", kUserFile);
        Write("mnt/USB5/C:/.system_file/quotaTeam.conf", kTeamFile);
        Write("web/javascript.js", kJs);
    }
    std::string Repquota(const char *option) {
        return std::string("repquota ") + option + " " + Nas("/mnt/USB5/C:");
    }
    std::string Notice() { return Read("mnt/USB5/C:/.system_file/quotaNotification.conf"); }
    std::string Today() {
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        char text[32];
        snprintf(text, sizeof(text), "%d-%d-%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        return text;
    }
};

const std::string kAliceWarning =
    "$$$emailWarningLevelUser1 alice $$$emailWarningLevelUser2 3GB $$$emailWarningLevelUser3 "
    "[HDD1]C: $$$emailWarningLevelUser4 2GB $$$emailWarningLevelUser5 [HDD1]C: "
    "$$$emailWarningLevelUser6 10GB.";
const std::string kBobLimit =
    "$$$emailQuotaLimitUser1 bob $$$emailQuotaLimitUser2 0GB $$$emailQuotaLimitUser3 [HDD1]C: "
    "$$$emailQuotaLimitUser4 $$$emailQuotaLimitUser5 [HDD1]C: $$$emailQuotaLimitUser6 ";
const std::string kStaffWarning =
    "$$$emailWarningLevelTeam1 staff $$$emailWarningLevelTeam2 1GB $$$emailWarningLevelTeam3 "
    "[HDD1]C: $$$emailWarningLevelTeam4 1GB $$$emailWarningLevelTeam5 staff "
    "$$$emailWarningLevelTeam6 [HDD1]C: $$$emailWarningLevelTeam7 2GB.";
const std::string kAnonymousLimit =
    "$$$emailQuotaLimitTeam1 Anonymous $$$emailQuotaLimitTeam2 5GB $$$emailQuotaLimitTeam3 "
    "[HDD1]C: $$$emailQuotaLimitTeam4 [HDD1]C: $$$emailQuotaLimitTeam5 ";

TEST_F(OrlindaQuotaTest, UsersAndTeamsAtTheirLevelsAreMailedAndLoggedOnce) {
    ASSERT_EQ(0, RunOrlinda());
    CallList expected = {
        "killall -SIGHUP quorret", "pomerel -email", "mount", "df", Repquota("-uv"),
        Mail(0, "emailWarningLevelUserSubject", kAliceWarning, "/tmp/quotaEmailAWalice0", 1),
        Mail(0, "emailWarningLevelUserSubject", kAliceWarning, "/tmp/quotaEmailWalice0", 1,
             "alice@example.com"),
        // One table per volume and kind serves every user (carol, by the
        // default section, is below her limit) and every team.
        Mail(0, "emailQuotaLimitUserSubject", kBobLimit, "/tmp/quotaEmailAQbob0", 1),
        Repquota("-gv"),
        Mail(0, "emailWarningLevelUserSubject", kStaffWarning, "/tmp/quotaEmailTAWstaff", 1),
        Mail(0, "emailWarningLevelUserSubject", kStaffWarning, "/tmp/quotaEmailTWstaffU0", 1,
             "alice@example.com"),
        Mail(0, "emailQuotaLimitUserSubject", kAnonymousLimit, "/tmp/quotaEmailTAQAnonymous", 1),
        "ps"};
    EXPECT_EQ(expected, Calls());
    EXPECT_EQ((CallList{"<quotaLogModuleName>\t\t <quotaUser>alice<quotaReachWarningLevel>",
                        "<quotaLogModuleName>\t\t <quotaUser>bob<quotaReachQuotaLimit>",
                        "<quotaLogModuleName>\t\t <quotaTeam>staff<quotaReachWarningLevel>",
                        "<quotaLogModuleName>\t\t <quotaTeam>Anonymous<quotaReachQuotaLimit>"}),
              TakeLogRecords());
    std::string today = Today();
    EXPECT_EQ("name =alice\nwarningLevel =" + today + "\nquotaLimit =\n" +
                  "name =bob\nwarningLevel =\nquotaLimit =" + today + "\n" +
                  "name =staff-T\nwarningLevel =" + today + "\nquotaLimit =\n" +
                  "name =Anonymous-T\nwarningLevel =\nquotaLimit =" + today + "\n",
              Notice());
    EXPECT_FALSE(Exists("mnt/USB5/C:/.system_file/quotaNotification.conf.tmp"));

    // Notices dated today are not repeated; nothing goes to the log again.
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    EXPECT_TRUE(TakeLogRecords().empty());
}

TEST_F(OrlindaQuotaTest, NoticesTwoDaysOldAreRepeatedWithANonZeroFrequency) {
    Write("mnt/USB5/C:/.system_file/quotaUser.conf",
          "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =2048\nquotaLimit =10240\n"
          "userEnd\n");
    Write("mnt/USB5/C:/.system_file/quotaTeam.conf", "");
    time_t back = time(nullptr) - 2 * 86400 - 60;
    struct tm t;
    localtime_r(&back, &t);
    std::string old = std::to_string(t.tm_year + 1900) + "-" + std::to_string(t.tm_mon + 1) + "-" +
                      std::to_string(t.tm_mday);
    std::string notice = "name =alice\nwarningLevel =" + old + "\nquotaLimit =\n";
    for (int frequency : {0, 1}) {
        Set("QUOTA_MAIL_FREQUENCY", std::to_string(frequency));
        Write("mnt/USB5/C:/.system_file/quotaNotification.conf", notice);
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_EQ(frequency == 0 ? 0u : 1u, CallsOf("kestrin.sh").size()) << frequency;
        EXPECT_TRUE(TakeLogRecords().empty());  // not a first notice
    }
    // Below the warning level: the section goes, so the next notice is a first one.
    SetOutput("repquota", "---\nalice -- 5\n\n");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("", Notice());
}

TEST_F(OrlindaQuotaTest, ScWordOrderAndLanguageNumber) {
    Set("EMAIL_LANGUAGE", "1");
    Write("mnt/USB5/C:/.system_file/quotaTeam.conf", "");
    ASSERT_EQ(0, RunOrlinda());
    CallList mails = CallsOf("kestrin.sh");
    ASSERT_EQ(3u, mails.size());
    EXPECT_EQ(Mail(1, "emailWarningLevelUserSubject",
                   "$$$emailWarningLevelUser1 alice $$$emailWarningLevelUser2 [HDD1]C: "
                   "$$$emailWarningLevelUser3 3GB $$$emailWarningLevelUser4 2GB "
                   "$$$emailWarningLevelUser5 [HDD1]C: $$$emailWarningLevelUser6 10GB\xe3\x80\x82",
                   "/tmp/quotaEmailAWalice0", 1),
              mails[0]);
    EXPECT_EQ(Mail(1, "emailQuotaLimitUserSubject",
                   "$$$emailQuotaLimitUser1 bob $$$emailQuotaLimitUser2 [HDD1]C: "
                   "$$$emailQuotaLimitUser3 0GB $$$emailQuotaLimitUser4 $$$emailQuotaLimitUser5 "
                   "[HDD1]C: $$$emailQuotaLimitUser6 ",
                   "/tmp/quotaEmailAQbob0", 1),
              mails[2]);
}

TEST_F(OrlindaQuotaTest, WithoutTheLanguageTableTheQuotaMailsUseLanguageZero) {
    Set("EMAIL_LANGUAGE", "1");
    Remove("web/javascript.js");
    ASSERT_EQ(0, RunOrlinda());
    CallList mails = CallsOf("kestrin.sh");
    ASSERT_FALSE(mails.empty());
    for (const std::string &mail : mails) EXPECT_EQ(0u, mail.find("kestrin.sh -l 0 ")) << mail;
    EXPECT_EQ(Mail(0, "emailWarningLevelUserSubject", kAliceWarning, "/tmp/quotaEmailAWalice0", 1),
              mails[0]);
}

TEST_F(OrlindaQuotaTest, WithoutTheLogDaemonsQueueNothingCreatesIt) {
    key_t key = ftok(root.At("bin/tovald").c_str(), '1');
    ASSERT_EQ(0, msgctl(logQueue, IPC_RMID, nullptr));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_NE(std::string::npos, output.find("[orlinda-WriteLog] log messagequeue msgid get fail"))
        << output;
    EXPECT_EQ(-1, msgget(key, 0));
    EXPECT_FALSE(CallsOf("kestrin.sh").empty());  // the mails go out all the same
}

TEST_F(OrlindaQuotaTest, StepRestsUnlessQuotaAlertAndMailAreOn) {
    for (const char *setting : {"QUOTA_ENABLE", "QUOTA_ALERT", "EMAIL_ENABLE"}) {
        Set("QUOTA_ENABLE", "1");
        Set("QUOTA_ALERT", "1");
        Set("EMAIL_ENABLE", "1");
        Set(setting, "0");
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_TRUE(CallsOf("mount").empty()) << setting;
        EXPECT_TRUE(CallsOf("kestrin.sh").empty()) << setting;
    }
}

}  // namespace
}  // namespace eventtest

namespace eventtest {
namespace {

class OrlindaQuotaFieldTest : public OrlindaQuotaTest {
  protected:
    void AliceOnly(const std::string &limit, const std::string &used) {
        Write("mnt/USB5/C:/.system_file/quotaUser.conf",
              "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =2048\nquotaLimit =" +
                  limit + "\nuserEnd\n");
        Write("mnt/USB5/C:/.system_file/quotaTeam.conf", "");
        SetOutput("repquota", "---\nalice -- " + used + "\n\n");
    }
    // Every file under the data volumes: name, inode, size and change time.
    std::map<std::string, std::string> VolumeFiles() {
        std::map<std::string, std::string> files;
        std::string top = root.At("mnt");
        for (const auto &entry : std::filesystem::recursive_directory_iterator(top)) {
            struct stat st;
            if (lstat(entry.path().c_str(), &st) != 0) continue;
            files[entry.path().string().substr(top.size())] =
                std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
                std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
        }
        return files;
    }
};

TEST_F(OrlindaQuotaFieldTest, AnEmptyOrZeroLimitIsNoLimit) {
    for (const char *limit : {"", "0"}) {
        AliceOnly(limit, "100");  // far below the warning level
        Remove("mnt/USB5/C:/.system_file/quotaNotification.conf");
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_TRUE(CallsOf("kestrin.sh").empty()) << "limit '" << limit << "'";
        AliceOnly(limit, "3145728");  // 3 GB: past the warning level, no limit to reach
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_EQ((CallList{Mail(0, "emailWarningLevelUserSubject",
                                 "$$$emailWarningLevelUser1 alice $$$emailWarningLevelUser2 3GB "
                                 "$$$emailWarningLevelUser3 [HDD1]C: $$$emailWarningLevelUser4 "
                                 "2GB $$$emailWarningLevelUser5 [HDD1]C: "
                                 "$$$emailWarningLevelUser6 0GB.",
                                 "/tmp/quotaEmailAWalice0", 1)}),
                  CallsOf("kestrin.sh"))
            << "limit '" << limit << "'";
        TakeLogRecords();
    }
}

#ifdef NAS_LIBFAKETIME
TEST_F(OrlindaQuotaFieldTest, ANoticeRepeatsByCalendarDaysAcrossTheDayTheClocksGoBack) {
    AliceOnly("10240", "3145728");
    Write("mnt/USB5/C:/.system_file/quotaNotification.conf",
          "name =alice\nwarningLevel =2026-10-24\nquotaLimit =\n");
    const char *asan = getenv("ASAN_OPTIONS");
    runEnv = {{"TZ", "Europe/Berlin"},
              {"LD_PRELOAD", NAS_LIBFAKETIME},
              {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                   (asan != nullptr ? ":" : "") + "verify_asan_link_order=0"}};
    // 2026-10-25 in Berlin has 25 hours: noon of the 25th lies 25 hours after
    // noon of the 24th, but only one calendar day.
    struct Case {
        const char *now;
        size_t mails;
    } cases[] = {{"@2026-10-25 12:00:00", 0}, {"@2026-10-26 12:00:00", 1}};
    for (const Case &c : cases) {
        runEnv["FAKETIME"] = c.now;
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_EQ(c.mails, CallsOf("kestrin.sh").size()) << c.now;
    }
    EXPECT_EQ("name =alice\nwarningLevel =2026-10-26\nquotaLimit =\n", Notice());
}
#endif

TEST_F(OrlindaQuotaFieldTest, AQuietRunWritesNothingOnTheDataVolumes) {
    // Everybody below the warning level; the notice file names someone else.
    SetOutput("repquota",
              "---\nalice -- 10\nbob -- 10\ncarol -- 10\nstaff-T -- 10\n"
              "Anonymous-T -- 10\n\n");
    Write("mnt/USB5/C:/.system_file/quotaNotification.conf",
          "name =dave\nwarningLevel =2026-1-1\nquotaLimit =\n");
    ASSERT_EQ(0, RunOrlinda());
    std::map<std::string, std::string> before = VolumeFiles();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(before, VolumeFiles());
    // Without a notice file, none is made.
    Remove("mnt/USB5/C:/.system_file/quotaNotification.conf");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("mnt/USB5/C:/.system_file/quotaNotification.conf"));
}

}  // namespace
}  // namespace eventtest
