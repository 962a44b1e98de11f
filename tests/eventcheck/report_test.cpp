// report_test.cpp -- every event reported once: overlapping runs, kills at random moments, the
// pause flag, locked lists, whole-name matching, long mail commands and names that look like log
// fields.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "download_fixture.h"

namespace eventtest {
namespace {

class OrlindaReportTest : public OrlindaDownloadTest {
  protected:
    // Holds the first-byte lock of a list, as its writer does while rewriting it.
    int HoldFirstByte(const std::string &relative) {
        int fd = open(root.At(relative).c_str(), O_RDWR);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        EXPECT_EQ(0, fcntl(fd, F_SETLK, &lock));
        return fd;
    }
};

TEST_F(OrlindaReportTest, ARunThatFindsAnotherRunningEndsAtOnce) {
    SetRunning({"nmbd", "smbd"});  // the FTP daemon is down
    // The first run stays inside its killall call until the test lets it go.
    std::string fifo = root.At("standin/killall.out");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    int hold = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // the runs must not hold it
    ASSERT_GE(hold, 0);
    pid_t first = StartOrlinda();
    ASSERT_TRUE(harness::WaitUntil([&] { return CallsOf("killall").size() == 1; }));
    pid_t second = StartOrlinda();
    int secondStatus = -1;
    bool secondEnded = false;
    ASSERT_TRUE(harness::WaitUntil([&] {
        int status;
        if (!secondEnded && waitpid(second, &status, WNOHANG) == second) {
            secondEnded = true;
            secondStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return secondEnded || CallsOf("killall").size() >= 2;
    }));
    // Let every killall go: later ones find a plain file.
    unlink(fifo.c_str());
    SetOutput("killall", "");
    close(hold);
    EXPECT_EQ(0, WaitOrlinda(first));
    ReapAll();
    EXPECT_TRUE(secondEnded) << "the second run went on beside the first";
    EXPECT_EQ(0, secondStatus);
    EXPECT_EQ(1u, CallsOf("killall").size());
    EXPECT_EQ(1u, Mails("emailFTPSubject"));
}

TEST_F(OrlindaReportTest, AProblemFoundDuringThePauseIsMailedAfterIt) {
    Bt(5, 'C', BtItemText("broken.iso", 4, 0, 1));
    WebList(5, 'C', WebItemText("/dl/failed.zip", 100, 4, 10, 20));
    Write("tmp/nocourseflag", "");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(0u, Mails("emailBTDownloadSubject"));
    EXPECT_EQ(0u, Mails("emailWebDownloadSubject"));
    Remove("tmp/nocourseflag");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(1u, Mails("emailBTDownloadSubject"));
    EXPECT_EQ(1u, Mails("emailWebDownloadSubject"));
    EXPECT_EQ("broken.iso\n", Read("tmp/emailBTProblem"));
    EXPECT_EQ("failed.zip\n", Read("tmp/emailWebProblem"));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(0u, Mails("emailBTDownloadSubject") + Mails("emailWebDownloadSubject"));
}

TEST_F(OrlindaReportTest, AFinishedDownloadIsMailedWhenTheMailFolderIsNew) {
    ASSERT_EQ(0, rmdir(root.At("nasext/main/email").c_str()));
    Bt(5, 'C', BtItemText("ubuntu.iso", 5, 0, 1));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((CallList{Postavel()}), CallsOf("postavel"));
    EXPECT_NE(std::string::npos, Body().find("ubuntu.iso {emailBTFinishOne}")) << Body();
    EXPECT_EQ("ubuntu.iso\n", Read("tmp/emailBtFinishItem"));
}

TEST_F(OrlindaReportTest, AKillAtARandomMomentRepeatsAReportButNeverLosesOne) {
    std::mt19937 random(20);  // a fixed seed: the same moments on every run of the test
    // How long a whole run takes here sets the range of the kill moments.
    long span = WarmUpRunMicroseconds();
    ASSERT_GE(span, 0);
    int repeated = 0;
    for (int trial = 0; trial < 40; trial++) {
        std::string name = std::to_string(trial);
        Bt(5, 'C', BtItemText("f" + name, 5, 0, 10) + BtItemText("p" + name, 4, 0, 11));
        ClearCalls();
        pid_t run = StartOrlinda();
        usleep(static_cast<useconds_t>(random() % static_cast<unsigned long>(span + 1)));
        kill(run, SIGKILL);
        WaitOrlinda(run);
        ReapAll();
        ASSERT_EQ(0, RunOrlinda());
        // Once at least; twice only when the kill came after a mail was started.
        size_t finished = CallsOf("postavel").size();
        size_t problem = Mails("emailBTDownloadSubject");
        EXPECT_GE(finished, 1u) << "trial " << trial;
        EXPECT_LE(finished, 2u) << "trial " << trial;
        EXPECT_GE(problem, 1u) << "trial " << trial;
        EXPECT_LE(problem, 2u) << "trial " << trial;
        repeated += finished == 2 || problem == 2;
        // Both are recorded now: a third run reports nothing.
        ClearCalls();
        ASSERT_EQ(0, RunOrlinda());
        EXPECT_TRUE(CallsOf("postavel").empty()) << "trial " << trial;
        EXPECT_EQ(0u, Mails("emailBTDownloadSubject")) << "trial " << trial;
    }
    RecordProperty("repeated", repeated);
}

TEST_F(OrlindaReportTest, AListHeldByItsWriterIsUnreadNotEmpty) {
    Bt(5, 'C', BtItemText("ubuntu.iso", 5, 0, 1));
    ASSERT_EQ(0, RunOrlinda());
    ASSERT_EQ("ubuntu.iso\n", Read("tmp/emailBtFinishItem"));
    WebList(5, 'C', WebItemText("/dl/f.zip", 1000, 3, 1000, 10));
    ASSERT_EQ(0, RunOrlinda());
    ASSERT_EQ("f.zip\n", Read("tmp/emailWebFinishItem"));
    int bt = HoldFirstByte(Partition(5, 'C') + "bt.cfg");
    int web = HoldFirstByte(Partition(5, 'C') + "download.cfg");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("ubuntu.iso\n", Read("tmp/emailBtFinishItem"));
    EXPECT_EQ("f.zip\n", Read("tmp/emailWebFinishItem"));
    close(bt);
    close(web);
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("postavel").empty());
    EXPECT_EQ(2u, NasLogLines().size());
}

TEST_F(OrlindaReportTest, ReportedNamesAreMatchedWhole) {
    // Finished and problem names that lie inside names already reported.
    Write("tmp/emailBtFinishItem", "data.iso\nsetup.exe.part\n");
    Write("tmp/emailBTProblem", "bad.iso\n");
    Bt(5, 'C',
       BtItemText("a.iso", 5, 0, 1) + BtItemText("setup.exe", 5, 0, 2) +
           BtItemText("ad.iso", 4, 0, 3));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("data.iso\nsetup.exe.part\na.iso\nsetup.exe\n", Read("tmp/emailBtFinishItem"));
    EXPECT_EQ("bad.iso\nad.iso\n", Read("tmp/emailBTProblem"));
    EXPECT_EQ(1u, Mails("emailBTDownloadSubject"));
    // A media folder whose line lies inside one already reported.
    Set("MEDIA_SERVER_ENABLE", "1");
    Write("media.conf", "[HDD1]C:\\video\n");
    ASSERT_EQ(0, RunOrlinda());
    Write("media.conf", "[HDD1]C:\\video\n[HDD1]C:\\vid\n");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((CallList{Mail(0, "emailMediaNoFolderSubject",
                             "[HDD1]C:\\video $$$emailAnd [HDD1]C:\\vid $$$emailMediaNoFolderTwo",
                             "/nasext/main/email/emailMediaFolder", 1)}),
              CallsOf("kestrin.sh"));
}

TEST_F(OrlindaReportTest, AMailBeyondThirtyTwoKilobytesIsStartedAndOneTooLongIsSaid) {
    Set("MEDIA_SERVER_ENABLE", "1");
    auto folders = [](int count) {
        std::vector<std::string> lines;
        for (int i = 0; i < count; i++) {
            lines.push_back("[HDD1]C:\\" + std::to_string(i) + std::string(240, 'v'));
        }
        return lines;
    };
    auto conf = [](const std::vector<std::string> &lines) {
        std::string text;
        for (const std::string &line : lines) text += line + "\n";
        return text;
    };
    // 150 missing folders: a body of some 37 KiB.
    std::vector<std::string> many = folders(150);
    Write("media.conf", many[0] + "\n");
    ASSERT_EQ(0, RunOrlinda());
    Write("media.conf", conf(many));
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    std::string body;
    for (size_t i = 0; i + 1 < many.size(); i++) body += (i > 0 ? ", " : "") + many[i];
    body += " $$$emailAnd " + many.back() + " $$$emailMediaNoFolderTwo";
    ASSERT_GT(body.size(), 32768u);
    EXPECT_EQ((CallList{Mail(0, "emailMediaNoFolderSubject", body,
                             "/nasext/main/email/emailMediaFolder", 1)}),
              CallsOf("kestrin.sh"));
    EXPECT_EQ(conf(many), Read("tmp/emailMediaFolderItem"));
    // 600 folders: beyond what one argument can carry. Said on one line; the
    // trigger and the reported list stay, so the next run tries again.
    std::vector<std::string> tooMany = folders(600);
    Write("media.conf", conf(tooMany));
    Write("nasext/main/email/emailMediaFolder", "");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    EXPECT_NE(std::string::npos, output.find("too long")) << output;
    EXPECT_TRUE(Exists("nasext/main/email/emailMediaFolder"));
    EXPECT_EQ(conf(many), Read("tmp/emailMediaFolderItem"));
}

TEST_F(OrlindaReportTest, NamesThatLookLikeLogFieldsStayOneField) {
    std::string longName = std::string(2000, 'l') + ".iso";
    Bt(5, 'C',
       BtItemText("tab\there.iso", 5, 0, 1) + BtItemText("<b>bold</b>.iso", 5, 0, 2) +
           BtItemText(longName, 5, 0, 3));
    ASSERT_EQ(0, RunOrlinda());
    std::vector<std::string> log = NasLogLines();
    ASSERT_EQ(3u, log.size());
    // Seven tabs and three tags to a line, whatever the name holds.
    auto tags = [](const std::string &line) {
        int open = 0;
        for (size_t i = 0; i < line.size(); i++)
            open += line[i] == '<' && (i == 0 || line[i - 1] != '\\');
        return open;
    };
    for (const std::string &line : log) {
        EXPECT_EQ(7, std::count(line.begin(), line.end(), '\t')) << line;
        EXPECT_EQ(3, tags(line)) << line;
    }
    EXPECT_NE(std::string::npos,
              log[0].find("<downloadBegin>[tab here.iso]<isDownloadCompletely>"));
    EXPECT_NE(std::string::npos,
              log[1].find("<downloadBegin>[\\<b\\>bold\\</b\\>.iso]<isDownloadCompletely>"));
    EXPECT_NE(std::string::npos, log[2].find("[" + longName + "]"));
    EXPECT_EQ("tab\there.iso\n<b>bold</b>.iso\n" + longName + "\n", Read("tmp/emailBtFinishItem"));
}

}  // namespace
}  // namespace eventtest
