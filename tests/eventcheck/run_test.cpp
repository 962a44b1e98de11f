// run_test.cpp -- orlinda's run order, the LED warnings and the daemon and disk check mails.
#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <set>

#include "event_fixture.h"

namespace eventtest {
namespace {

using CallList = std::vector<std::string>;

const CallList kDownloadStep = {"killall -SIGHUP quorret", "pomerel -email"};
const CallList kDaemonTests = {"ps"};  // one listing for nmbd, smbd and ftpd

CallList Join(std::initializer_list<CallList> parts) {
    CallList all;
    for (const CallList &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class OrlindaRunTest : public EventCheckTest {
  protected:
    std::string FsckMail() {
        return Mail(0, "emailISNotStartSubject", "$$$emailCKDidNotRun",
                    "/nasext/main/email/emailFSCKDidNotRun", 0);
    }
    void MusicOn(bool folderPresent) {
        Set("ITUNES_ENABLE", "1");
        Set("ITUNES_MUSIC_DIR", "/mnt/USB5/C:/music");
        if (folderPresent) Mkdir("mnt/USB5/C:/music");
    }
};

// Every entry below dir, for "nothing was touched".
void ListTree(const std::string &dir, const std::string &prefix, std::set<std::string> *out) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        out->insert(prefix + name);
        ListTree(dir + "/" + name, prefix + name + "/", out);
    }
    closedir(d);
}

TEST_F(OrlindaRunTest, NoSettingsStoreExitsWithMinusOneAndTouchesNothing) {
    WriteDevice(std::string(128 * 1024, '\0'));
    Write("nasext/main/sys/FSCK_DID_NOT_RUN", "");
    Write("orlinda.out", "");
    SetRunning({});
    std::set<std::string> before, after;
    ListTree(root.path(), "", &before);
    EXPECT_EQ(255, RunOrlinda());
    ListTree(root.path(), "", &after);
    EXPECT_EQ(before, after);
    EXPECT_FALSE(Exists("standin/calls.log"));
    EXPECT_NE(std::string::npos, output.find("Invalid hw setting signature")) << output;
}

TEST_F(OrlindaRunTest, QuietApplianceRunsOnlyTheRequiredCommands) {
    EXPECT_EQ(0, RunOrlinda());
    EXPECT_EQ(Join({kDownloadStep, kDaemonTests}), Calls());
    EXPECT_TRUE(TakeLogRecords().empty());
    EXPECT_FALSE(Exists("tmp/crondEvent"));
}

TEST_F(OrlindaRunTest, DaemonsDownAreMailedOnceUntilTheyRunAgain) {
    Set("EMAIL_LANGUAGE", "2");
    Set("MEDIA_SERVER_ENABLE", "1");
    Set("MEDIA_RESCAN_INTERVAL", "600");
    Write("media.conf", "[HDD1]C:\\video\n");
    Mkdir("mnt/USB5/C:/video");
    SetRunning({"smbd", "ushare"});  // nmbd, ftpd and drovenna down
    const CallList mails = {
        Mail(2, "emailSMBSubject", "$$$emailSMB", "/tmp/emailSMB", 0),
        Mail(2, "emailFTPSubject", "$$$emailFTP", "/tmp/emailFTP", 0),
        Mail(2, "emailMediaSubject", "$$$emailMedia", "/nasext/main/email/emailMedia", 0)};
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(Join({kDownloadStep, {"ps", mails[0], mails[1], mails[2]}}), Calls());
    // The mail script made the flag files: the next run mails nothing.
    EXPECT_TRUE(Exists("tmp/emailSMBFlag"));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    // Running again: the flags go, so the next failure is mailed again.
    SetRunning(kDaemons);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("tmp/emailSMBFlag"));
    EXPECT_FALSE(Exists("tmp/emailFTPFlag"));
    EXPECT_FALSE(Exists("nasext/main/email/emailMediaFlag"));
}

TEST_F(OrlindaRunTest, ADaemonNamedInsideAnotherNameCountsAsRunning) {
    struct Case {
        const char *listing;
        bool mailed;
    } cases[] = {
        {"  1 root /usr/sbin/vsftpd\n  2 root grep ftpd\n", false},
        {"  2 root grep ftpd\n  3 root /usr/sbin/ftpd\n", true},
        {"", true},  // the listing of ps itself: a daemon that no line names is missing
    };
    for (const Case &c : cases) {
        SetOutput("ps", std::string("  9 root nmbd\n  9 root smbd\n") + c.listing);
        Remove("tmp/emailFTPFlag");
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_EQ(c.mailed ? 1u : 0u, CallsOf("kestrin.sh").size()) << c.listing;
    }
}

TEST_F(OrlindaRunTest, NoCourseFlagSkipsTheSecondHalf) {
    Write("tmp/nocourseflag", "");
    Write("nasext/main/sys/FSCK_DID_NOT_RUN", "");
    MusicOn(true);
    SetRunning({});
    ASSERT_EQ(0, RunOrlinda());
    // music server test of the LED step, the LED for the disk check, its mail,
    // the download step; no daemon, media, music or problem mails.
    EXPECT_EQ(Join({{"ps", "glimmet 333333 6", "glimmet 333333 6", FsckMail()}, kDownloadStep}),
              Calls());
}

TEST_F(OrlindaRunTest, LedWarningsFlashOncePerEpisode) {
    Write("nasext/main/sys/FSCK_DID_NOT_RUN", "");
    MusicOn(false);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(2u, CallsOf("glimmet").size());  // music folder, disk check
    EXPECT_TRUE(Exists("tmp/MediaFolderLost"));
    EXPECT_TRUE(Exists("tmp/fsckNotRun"));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("glimmet").empty());
    // The folder is back and the check ran: the markers go; a server down flashes.
    Mkdir("mnt/USB5/C:/music");
    Remove("nasext/main/sys/FSCK_DID_NOT_RUN");
    SetRunning({"nmbd", "smbd", "ftpd"});
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("tmp/MediaFolderLost"));
    EXPECT_FALSE(Exists("tmp/fsckNotRun"));
    EXPECT_TRUE(Exists("tmp/iTunesStartFailed"));
    EXPECT_EQ(1u, CallsOf("glimmet").size());
    SetRunning(kDaemons);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("tmp/iTunesStartFailed"));
}

TEST_F(OrlindaRunTest, EmptyMusicFolderSettingSkipsTheDiskCheckLedButNotItsMail) {
    Write("nasext/main/sys/FSCK_DID_NOT_RUN", "");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(Join({{FsckMail()}, kDownloadStep, kDaemonTests}), Calls());
    EXPECT_TRUE(Exists("nasext/main/email/emailFSCKDidNotRunFlag"));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    Remove("nasext/main/sys/FSCK_DID_NOT_RUN");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("nasext/main/email/emailFSCKDidNotRunFlag"));
}

TEST_F(OrlindaRunTest, MusicFolderAndServerMails) {
    MusicOn(false);
    SetRunning({"nmbd", "smbd", "ftpd"});
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((CallList{Mail(0, "emailISMediaSubject", "$$$emailISMedia",
                             "/nasext/main/email/emailItunesMediaFolder", 1)}),
              CallsOf("kestrin.sh"));
    EXPECT_EQ("/mnt/USB5/C:/music\n", Read("tmp/emailItunesMediaFolderItem"));
    EXPECT_EQ("/mnt/USB5/C:/music\n", Read("nasext/main/email/emailItunesMediaFolderItem"));
    // Already reported: the server test follows, and the server is down.
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((CallList{Mail(0, "emailISNotStartSubject", "$$$emailISNotStart",
                             "/nasext/main/email/emailItunesServer", 0)}),
              CallsOf("kestrin.sh"));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    SetRunning(kDaemons);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("nasext/main/email/emailItunesServerFlag"));
}

}  // namespace
}  // namespace eventtest

namespace eventtest {
namespace {

// The settings are read once per run: a run whose every step has something
// to do reads the flash no more often than one that finds nothing.
TEST_F(OrlindaRunTest, TheFlashIsReadOncePerRunWhateverTheStepsDo) {
    // Opens of the flash device during one run. Opens and closes alternate,
    // so inotify cannot fold two opens into one event.
    auto flashOpensOfOneRun = [this] {
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(watch, 0);
        EXPECT_GE(inotify_add_watch(watch, root.At("dev/mtd").c_str(), IN_OPEN | IN_CLOSE_NOWRITE),
                  0);
        EXPECT_EQ(0, RunOrlinda());
        int opens = 0;
        alignas(struct inotify_event) char events[4096];
        ssize_t n;
        while ((n = read(watch, events, sizeof(events))) > 0) {
            for (char *p = events; p < events + n;) {
                struct inotify_event *event = reinterpret_cast<struct inotify_event *>(p);
                opens += (event->mask & IN_OPEN) != 0;
                p += sizeof(struct inotify_event) + event->len;
            }
        }
        close(watch);
        return opens;
    };
    WriteFlash();
    int quiet = flashOpensOfOneRun();
    ASSERT_GT(quiet, 0);
    Set("BT_ENABLE", "1");
    Set("DOWNLOAD_ENABLE", "1");
    Set("EMAIL_BT", "1");
    Set("MEDIA_SERVER_ENABLE", "1");
    Set("ITUNES_ENABLE", "1");
    Set("ITUNES_MUSIC_DIR", "/mnt/USB5/C:/music");
    Set("QUOTA_ENABLE", "1");
    Set("QUOTA_ALERT", "1");
    Set("NAS_USER_NAME", "alice");
    Write("tmp/USB5/C:/.system_file/bt.cfg",
          "[BtItem]\nSavePath=/d\nTarget=done.iso\nStatus=5\n[BtItem]\nSavePath=/d\n"
          "Target=bad.iso\nStatus=4\n");
    Write("nasext/main/sys/FSCK_DID_NOT_RUN", "");
    SetRunning({});
    SetOutput("mount", "/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n");
    SetOutput("df", "/dev/sda1 100 50 50 50% /mnt/USB5/C:\n");
    SetOutput("repquota", "---\nalice -- 3145728\n\n");
    Write("mnt/USB5/C:/.system_file/quotaUser.conf",
          "userName =alice\nquotaSet =Quota Only\nquotaLimit =1000\nuserEnd\n");
    WriteFlash();
    ClearCalls();
    int busy = flashOpensOfOneRun();
    ASSERT_GE(CallsOf("kestrin.sh").size(), 6u);  // every step had something to do
    EXPECT_EQ(quiet, busy);
}

}  // namespace
}  // namespace eventtest
