// links_test.cpp -- nothing is written through a link planted at a fixed name, and the status
// file rewrite keeps to the client's lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download_fixture.h"

namespace eventtest {
namespace {

class OrlindaLinkTest : public OrlindaDownloadTest {
  protected:
    bool IsLink(const std::string &relative) {
        struct stat st;
        return lstat(root.At(relative).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    ino_t Inode(const std::string &relative) {
        struct stat st;
        return lstat(root.At(relative).c_str(), &st) == 0 ? st.st_ino : 0;
    }
    // An active download whose client reports 50 % done.
    void ActiveDownload() {
        Bt(5, 'C', BtItemText("busy.iso", 1, 0, 2, 1 << 20, "http://t/busy"));
        Write("tmp/bt.pid",
              "[BT.PID]\nPid=7\nTempFileName=/tmp/work\nTorrentInformation=http://t/busy\n");
        Write("tmp/work_throughput", "throughput=2048b\nschedule=50\n");
        Write("mnt/USB5/C:/.system_file/btstatus_2", "10%  3\t4\n");
    }
};

TEST_F(OrlindaLinkTest, NothingIsWrittenThroughALinkAtAFixedName) {
    // Every name orlinda writes under "/tmp/" or on a volume, each a link to
    // a file of its own; the last two point nowhere (a create would follow).
    const char *const links[] = {"tmp/emailBTProblem",
                                 "tmp/emailBtFinishItem",
                                 "tmp/crondEvent",
                                 "tmp/date_time.tmp",
                                 "tmp/btstatus.tmp",
                                 "tmp/emailBtFinish",
                                 "mnt/USB5/C:/.system_file/quotaNotification.conf.tmp",
                                 "tmp/MediaFolderLost",
                                 "tmp/USB5/C:/.system_file/nastmp_3"};
    Mkdir("victims");
    int n = 0;
    for (const char *link : links) {
        std::string target = root.At("victims/" + std::to_string(n));
        if (n < 7) Write("victims/" + std::to_string(n), "victim\n");
        Mkdir(std::string(link).substr(0, std::string(link).rfind('/')));
        ASSERT_EQ(0, symlink(target.c_str(), root.At(link).c_str())) << link;
        n++;
    }
    // A finished download, a failing one, a running one; the music folder
    // gone; a quota user below the warning level.
    ActiveDownload();
    Bt(5, 'C',
       BtItemText("busy.iso", 1, 0, 2, 1 << 20, "http://t/busy") + BtItemText("done.iso", 5, 0, 1) +
           BtItemText("bad.iso", 4, 0, 3));
    Set("ITUNES_ENABLE", "1");
    Set("ITUNES_MUSIC_DIR", "/mnt/USB5/C:/music");
    Set("QUOTA_ENABLE", "1");
    Set("QUOTA_ALERT", "1");
    Set("NAS_USER_NAME", "alice");
    SetOutput("mount", "/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n");
    SetOutput("df", "/dev/sda1 100 50 50 50% /mnt/USB5/C:\n");
    SetOutput("repquota", "---\nalice -- 10\n\n");
    Write("mnt/USB5/C:/.system_file/quotaUser.conf",
          "userName =alice\nquotaSet =Quota Only\nquotaLimit =1000\nuserEnd\n");
    Write("mnt/USB5/C:/.system_file/quotaNotification.conf",
          "name =alice\nwarningLevel =\nquotaLimit =2026-1-1\n");
    ASSERT_EQ(0, RunOrlinda());
    for (int i = 0; i < n; i++) {
        std::string victim = "victims/" + std::to_string(i);
        if (i < 7) {
            EXPECT_EQ("victim\n", Read(victim)) << links[i];
        } else {
            EXPECT_FALSE(Exists(victim)) << links[i];
        }
        EXPECT_TRUE(IsLink(links[i])) << links[i];
    }
    EXPECT_NE(std::string::npos,
              output.find("orlinda: /tmp/emailBTProblem is a symbolic link; left alone"))
        << output;
    // The reports themselves still go out, and the status file is rewritten.
    EXPECT_EQ(1u, CallsOf("postavel").size());
    EXPECT_EQ("50% 3 4\n", Read("mnt/USB5/C:/.system_file/btstatus_2"));
    EXPECT_EQ("", Read("mnt/USB5/C:/.system_file/quotaNotification.conf"));
}

TEST_F(OrlindaLinkTest, TheStatusFileIsReplacedInPlaceAndOnlyUnderTheClientsLock) {
    ActiveDownload();
    std::string status = "mnt/USB5/C:/.system_file/btstatus_2";
    chmod(root.At(status).c_str(), 0640);
    // The client holds the file's first byte while it rewrites it: the
    // run's rewrite waits for it and, not getting it, leaves the file alone.
    int fd = open(root.At(status).c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
    ino_t before = Inode(status);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("10%  3\t4\n", Read(status));
    EXPECT_EQ(before, Inode(status));
    close(fd);
    // Free: a new file in the same folder, renamed over the old one, with its mode.
    Write("tmp/work_throughput", "throughput=2048b\nschedule=50\n");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("50% 3 4\n", Read(status));
    EXPECT_NE(before, Inode(status));
    struct stat st;
    ASSERT_EQ(0, stat(root.At(status).c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_FALSE(Exists("tmp/btstatus.tmp"));
    EXPECT_FALSE(Exists("tmp/work_throughput"));  // the file that was read
    // The same progress again: nothing to write.
    Write("tmp/work_throughput", "throughput=2048b\nschedule=50\n");
    before = Inode(status);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(before, Inode(status));
}

}  // namespace
}  // namespace eventtest
