// inject_test.cpp -- text from files and settings reaches the programs started as one unchanged
// argument, and nothing inside it runs.
#include <glob.h>

#include "event_fixture.h"

namespace eventtest {
namespace {

using CallList = std::vector<std::string>;

class OrlindaInjectTest : public EventCheckTest {
  protected:
    // A text that runs "touch ROOT/pwnedN" if any shell ever reads it as code.
    std::string Evil(int n) {
        std::string mark = root.At("pwned" + std::to_string(n));
        return "x$(touch " + mark + ")`touch " + mark + "`;touch " + mark + " '\"\\ &|<>*";
    }
    int Pwned() {
        glob_t found;
        int count = glob(root.At("pwned*").c_str(), 0, nullptr, &found) == 0
                        ? static_cast<int>(found.gl_pathc)
                        : 0;
        globfree(&found);
        return count;
    }
    bool Called(const std::string &line) {
        for (const std::string &call : Calls()) {
            if (call == line) return true;
        }
        return false;
    }
};

TEST_F(OrlindaInjectTest, MediaFolderLinesAndTheMailSubjectStayText) {
    Set("MEDIA_SERVER_ENABLE", "1");
    std::string first = "[HDD1]C:\\" + Evil(1);
    std::string second = "[HDD2]C:\\" + Evil(2);
    Write("media.conf", first + "\n");
    ASSERT_EQ(0, RunOrlinda());
    Write("media.conf", first + "\n" + second + "\n");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(Called(Mail(0, "emailMediaNoFolderSubject",
                            first + " $$$emailAnd " + second + " $$$emailMediaNoFolderTwo",
                            "/nasext/main/email/emailMediaFolder", 1)))
        << ::testing::PrintToString(Calls());
    EXPECT_EQ(0, Pwned());
}

TEST_F(OrlindaInjectTest, DownloadNamesWorkFilesAndLookedUpTextsStayText) {
    Set("BT_ENABLE", "1");
    Set("EMAIL_BT", "1");
    std::string subject = Evil(3);
    Write("standin/kestrin.lang", "emailBTFinishSubject=" + subject + "\n");
    std::string work = "/tmp/w" + Evil(4);
    Write("tmp/USB5/C:/.system_file/bt.cfg",
          "[BtItem]\nTorrentInformation=http://t/a\nAddTime=1\nSavePath=/d\nTarget=" + Evil(5) +
              "\nStatus=5\n[BtItem]\nTorrentInformation=http://t/b\nAddTime=2\nSavePath=/d\n"
              "TotalSize=100\nTarget=" +
              Evil(6) + "\nStatus=1\n");
    Mkdir("mnt/USB5/C:/.system_file");
    Write("tmp/bt.pid",
          "[BT.PID]\nPid=5\nTempFileName=" + work + "\nTorrentInformation=http://t/b\n");
    Write(work.substr(1) + "_throughput", "throughput=5b\nschedule=50\n");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(Called("postavel -s " + Quoted(subject) + " -b " +
                       Nas("/nasext/main//email/emailBtDownloadOK") + " -flag 1"))
        << ::testing::PrintToString(Calls());
    EXPECT_FALSE(Exists(work.substr(1) + "_throughput"));  // the file that was read is removed
    EXPECT_NE(std::string::npos, Read("nasext/main/email/emailBtDownloadOK").find(Evil(5)));
    // In the log a "<" or ">" of the name gets a backslash, so it closes no tag.
    std::string logged = Evil(5);
    logged.replace(logged.find("<>"), 2, "\\<\\>");
    EXPECT_NE(std::string::npos, NasLogLines().at(0).find("[" + logged + "]"));
    EXPECT_EQ(0, Pwned());
}

TEST_F(OrlindaInjectTest, QuotaNamesAddressesAndVolumesStayText) {
    Set("QUOTA_ENABLE", "1");
    Set("QUOTA_ALERT", "1");
    std::string user = "e'v$(i)l";  // fits the 20-character slot
    std::string address = Evil(7);
    // Words of mount and df output hold no blanks: ${IFS} stands in for them.
    std::string device = "/dev/sd$(touch${IFS}" + root.At("pwned8") + ");`id`";
    std::string mount = "/mnt/USB5/C:'$(touch${IFS}" + root.At("pwned9") + ")";
    Set("NAS_USER_NAME", "alice," + user);
    SetOutput("mount", device + " on /mnt/USB5/C: type ext3 (rw)\n");
    SetOutput("df", device + " 100 50 50 50% " + mount + "\n");
    SetOutput("repquota", "---\n" + user + " -- 2097152\n\n");
    Write(mount.substr(1) + "/.system_file/quotaUser.conf",
          "userName =" + user +
              "\nquotaSet =Quota Only\nquotaLimit =1024\nmailAddress =" + address + "\nuserEnd\n");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(Called("repquota -uv " + Quoted(Nas(mount)))) << ::testing::PrintToString(Calls());
    std::string label = "[HDD1]" + mount.substr(10);
    std::string body = "$$$emailQuotaLimitUser1 " + user + " $$$emailQuotaLimitUser2 2GB " +
                       "$$$emailQuotaLimitUser3 " + label + " $$$emailQuotaLimitUser4 " +
                       "$$$emailQuotaLimitUser5 " + label + " $$$emailQuotaLimitUser6 ";
    EXPECT_TRUE(Called(
        Mail(0, "emailQuotaLimitUserSubject", body, "/tmp/quotaEmailQ" + user + "0", 1, address)))
        << ::testing::PrintToString(Calls());
    EXPECT_NE(std::string::npos, Read(mount.substr(1) + "/.system_file/quotaNotification.conf")
                                     .find("name =" + user + "\n"));
    EXPECT_EQ(0, Pwned());
}

}  // namespace
}  // namespace eventtest
