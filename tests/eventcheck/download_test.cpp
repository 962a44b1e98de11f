// download_test.cpp -- the download step: finished and failing items, rows, locks and the finished
// mail.
#include <fcntl.h>
#include <unistd.h>

#include "download_fixture.h"

namespace eventtest {
namespace {

TEST_F(OrlindaDownloadTest, FinishedAndFailingItemsAreReportedOnce) {
    Bt(5, 'C',
       BtItemText("ubuntu.iso", 5, 0, 1000) +
           BtItemText("debian.iso", 4, 0, 1001, 2LL << 30, "http://t/d"));
    WebList(5, 'C',
            WebItemText("/dl/g.zip", 100, 4, 10, 20) + WebItemText("/dl/f.zip", 1000, 3, 1000, 10));
    ASSERT_EQ(0, RunOrlinda());

    std::vector<std::string> log = NasLogLines();
    ASSERT_EQ(2u, log.size());
    std::string date = log[0].substr(9, 19);  // "3\t0\tINFO\t" then the date
    EXPECT_EQ("3\t0\tINFO\t" + date +
                  "\tLocal\t<btDownload>\t\t<downloadBegin>[ubuntu.iso]<isDownloadCompletely>",
              log[0]);
    EXPECT_EQ(0, log[1].find("3\t0\tINFO\t"));
    EXPECT_NE(
        std::string::npos,
        log[1].find("\tLocal\t<webFtpDownload>\t\t<downloadBegin>[f.zip]<isDownloadCompletely>"));
    EXPECT_EQ('/', date[4]);
    EXPECT_EQ(' ', date[10]);

    EXPECT_EQ((CallList{"emailDearSir", "emailBTFinish", "emailBTFinishOne", "emailWebFinish",
                        "emailBTFinishOne", "emailBTFinishThree", "emailBTFinishMenu",
                        "emailWebFinishMenu", "emailBestWishes", "emailProductName",
                        "emailBTFinishSubject"}),
              Lookups());
    EXPECT_EQ(
        "{emailDearSir}\n"
        "\t{emailBTFinish}\nubuntu.iso {emailBTFinishOne}\n"
        "\n\t{emailWebFinish}\n(1)f.zip{emailBTFinishOne}\n"
        "\n\t{emailBTFinishThree}\n\t{emailBTFinishMenu}\n"
        "\t(1) debian.iso\t\t\t2.00GB\t\t0%\t\t\n\n"
        "\n\t{emailWebFinishMenu}\n"
        "\t(1) g.zip\t\t100\t\t10B\t\tFailed\t\t[HDD1]C:\\dl\\\t\thttp://example.com/f\n\n"
        "\n\t{emailBestWishes}\n\t{emailProductName}\n",
        Body());
    CallList tail = {Postavel(), "pomerel -email", "ps",
                     Mail(0, "emailBTDownloadSubject", "$$$emailBTDownload",
                          "/nasext/main/email/emailBtDownload", 1),
                     Mail(0, "emailWebDownloadSubject", "$$$emailWebDownload",
                          "/nasext/main/email/emailWebDownload", 1)};
    CallList calls = Calls();
    ASSERT_GE(calls.size(), tail.size() + 1);
    EXPECT_EQ("killall -SIGHUP quorret", calls[0]);
    EXPECT_EQ(tail, CallList(calls.end() - static_cast<long>(tail.size()), calls.end()));
    EXPECT_EQ("ubuntu.iso\n", Read("tmp/emailBtFinishItem"));
    EXPECT_EQ("debian.iso\n", Read("tmp/emailBTProblem"));
    EXPECT_EQ("g.zip\n", Read("tmp/emailWebProblem"));
    EXPECT_FALSE(Exists("tmp/emailBtFinish"));
    EXPECT_FALSE(Exists("tmp/emailWebFinish"));
    EXPECT_EQ("unknown", Read("tmp/USB5/C:/.system_file/nastmp_1001"));

    // The next run reports nothing again.
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((CallList{"killall -SIGHUP quorret", "pomerel -email", "ps"}), Calls());
    EXPECT_EQ(2u, NasLogLines().size());
    // After a reboot (the "/tmp/" records gone) a finished item is reported once more;
    // an empty list forgets the finished items.
    Remove("tmp/emailBtFinishItem");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(1u, CallsOf("postavel").size());
    Bt(5, 'C', "");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("tmp/emailBtFinishItem"));
}

TEST_F(OrlindaDownloadTest, RowsOfItemsTheClientWorksOn) {
    Bt(5, 'C',
       BtItemText("done.iso", 5, 9, 1) +
           BtItemText("fast.iso", 1, 0, 2, 1LL << 30, "/t/fast.torrent") +
           BtItemText("huge.img", 2, 0, 3, 8LL << 40, "http://t/huge") +
           BtItemText("queued.iso", 3, 0, 4, 3 << 20, "http://t/q") +
           BtItemText("idle.iso", 0, 0, 5, 5 << 10, "http://t/idle"));
    Write("tmp/bt.pid",
          "[BT.PID]\nPid=77\nTempFileName=/tmp/work1\nTorrentInformation=/mnt/USB5/C:/t/"
          "fast.torrent\n"
          "[BT.PID]\nPid=78\nTempFileName=/tmp/work2\nTorrentInformation=http://t/huge\n"
          "[BT.PID]\nPid=0\nTempFileName=/tmp/work3\nTorrentInformation=http://t/idle\n");
    Write("tmp/work1_throughput",
          "throughput=2048b\nuploadrate=10b\nschedule=25\nPeers=3\nleft=9\n");
    Write("tmp/work2_throughput", "throughput=1b\nschedule=unknown\n");
    Write("mnt/USB5/C:/.system_file/btstatus_2", "10% 3 4\n");
    Write("mnt/USB5/C:/.system_file/btstatus_3", "0% x\n");
    ASSERT_EQ(0, RunOrlinda());
    std::string body = Body();
    EXPECT_NE(std::string::npos,
              body.find("\t(1) fast.iso\t109:13:36\t\t1.00GB\t\t25%\t\t2KB/S\n\n"))
        << body;
    // 8 TiB at one byte a second: hours beyond 32 bits; schedule "unknown" read from the file
    // is the text with its newline, so the progress comes from the awk-written field.
    EXPECT_NE(std::string::npos, body.find("\t(2) huge.img\t"));
    EXPECT_NE(std::string::npos,
              body.find("\t(3) queued.iso\tunknown\t\t3.00MB\t\tunknown%\t\t0\n\n"))
        << body;
    EXPECT_NE(std::string::npos, body.find("\t(4) idle.iso\t\t\t5.00KB\t\t0%\t\t0\n\n")) << body;
    EXPECT_EQ("25% 3 4\n", Read("mnt/USB5/C:/.system_file/btstatus_2"));
    EXPECT_FALSE(Exists("tmp/work1_throughput"));
    EXPECT_FALSE(Exists("tmp/work2_throughput"));
}

TEST_F(OrlindaDownloadTest, HugeDownloadTimesAreComputedIn64Bits) {
    Bt(5, 'C',
       BtItemText("done.iso", 5, 9, 1) +
           BtItemText("huge.img", 2, 0, 3, 8LL << 40, "http://t/huge"));
    Write("tmp/bt.pid",
          "[BT.PID]\nPid=78\nTempFileName=/tmp/work2\nTorrentInformation=http://t/huge\n");
    Write("tmp/work2_throughput", "throughput=1b\n");  // no schedule: the status file's progress
    Write("mnt/USB5/C:/.system_file/btstatus_3", "0% x\n");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_NE(std::string::npos,
              Body().find("\t(1) huge.img\t2443359172:50:8\t\t8192.00GB\t\t0%\t\t1B/S\n"))
        << Body();
}

TEST_F(OrlindaDownloadTest, FinishedItemsBeyondTheThirtyTwoBestRankedAreReportedToo) {
    std::string c, d;
    for (int i = 0; i < 20; i++) c += BtItemText("c" + std::to_string(i), 5, 0, 100 + i);
    for (int i = 0; i < 20; i++)
        d += BtItemText("d" + std::to_string(i), 5, i < 2 ? 1 : 0, 200 + i);
    Bt(5, 'C', c);
    Bt(7, 'D', d);
    ASSERT_EQ(0, RunOrlinda());
    std::string expected = "d0\nd1\n";
    for (int i = 0; i < 20; i++) expected += "c" + std::to_string(i) + "\n";
    // The 32 best ranked first, then the finished items ranked after them.
    for (int i = 2; i < 20; i++) expected += "d" + std::to_string(i) + "\n";
    EXPECT_EQ(expected, Read("tmp/emailBtFinishItem"));
    EXPECT_EQ(40u, NasLogLines().size());
}

TEST_F(OrlindaDownloadTest, ALockedListIsSkippedAndTheOthersRead) {
    Bt(5, 'C', BtItemText("locked.iso", 5, 0, 1));
    Bt(6, 'C', BtItemText("free.iso", 5, 0, 2));
    int fd = open(root.At(Partition(5, 'C') + "bt.cfg").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("free.iso\n", Read("tmp/emailBtFinishItem"));
    close(fd);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ("free.iso\nlocked.iso\n", Read("tmp/emailBtFinishItem"));
}

TEST_F(OrlindaDownloadTest, WebNamesRowsAndOrder) {
    Mkdir("tmp/USB5/C:/.system_file");
    Write("mnt/USB5/C:/.system_file/download/dl_part.bin.tmp__",
          "/mnt/USB5/C:/dl/real name.iso\r\n");
    Write("mnt/USB6/C:/.system_file/download/x_y.tmp__", "/mnt/USB6/C:/dir/\n");
    WebList(5, 'C',
            WebItemText("/dl/part.bin", 2000, 3, 1990, 30) +
                WebItemText("/dl/zero.bin", 0, 4, 0, 40) +
                WebItemText("/dl/done.bin", 10, 1, 10, 5));
    WebList(6, 'C',
            WebItemText("/x/y", 3 << 20, 5, 1536 << 10, 20) + WebItemText("/x/neg", -1, 1, -5, 50));
    ASSERT_EQ(0, RunOrlinda());
    std::string body = Body();
    EXPECT_NE(std::string::npos, body.find("(1)done.bin{emailBTFinishOne}")) << body;
    EXPECT_NE(
        std::string::npos,
        body.find(
            "\t(1) default\t\t3.0M\t\t1536KB\t\tPaused\t\t[HDD2]C:\\x\\\t\thttp://example.com/f\n\n"
            "\t(2) real "
            "name.iso\t\t2000\t\t1990B\t\t99%\t\t[HDD1]C:\\dl\\\t\thttp://example.com/f\n\n"
            "\t(3) "
            "zero.bin\t\tUnknown\t\t0\t\tFinished\t\t[HDD1]C:\\dl\\\t\thttp://example.com/f\n\n"
            "\t(4) neg\t\tUnknown\t\t0\t\tTrying\t\t[HDD2]C:\\x\\\t\thttp://example.com/f\n\n"))
        << body;
    EXPECT_NE(std::string::npos, body.find("\t{emailBTWebNo}\n")) << body;  // no BitTorrent rows
}

TEST_F(OrlindaDownloadTest, ALogAboveTenMegabytesIsRotatedBeforeTheLine) {
    Write("nasext/main/var/log/nasLog.log", std::string(11 << 20, 'o') + "\n");
    Bt(5, 'C', BtItemText("ubuntu.iso", 5, 0, 1000));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((11u << 20) + 1, Read("nasext/main/var/log/nasLog.log1").size());
    ASSERT_EQ(1u, NasLogLines().size());
    EXPECT_NE(std::string::npos, NasLogLines()[0].find("[ubuntu.iso]"));
}

TEST_F(OrlindaDownloadTest, NoMailWithoutMailSettings) {
    Set("EMAIL_BT", "0");
    Bt(5, 'C', BtItemText("ubuntu.iso", 5, 0, 1000));
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(CallsOf("postavel").empty());
    EXPECT_TRUE(CallsOf("kestrin.sh").empty());
    EXPECT_EQ(1u, NasLogLines().size());
}

}  // namespace
}  // namespace eventtest

namespace eventtest {
namespace {

TEST_F(OrlindaDownloadTest, ListsOfAnyContentAreReadInBoundedTime) {
    std::string bt, web, binary;
    for (int i = 0; i < 10000; i++) {
        bt += BtItemText("item" + std::to_string(i), i % 7, i % 3, 5000 + i);
        web += WebItemText("/w/" + std::to_string(i), 1000, 3, i % 1000, i);
    }
    for (int i = 0; i < 65536; i++) binary += static_cast<char>((i * 7919) & 0xff);
    std::string huge = "Target=" + std::string(3 << 20, 'y');  // one line of megabytes
    Bt(5, 'C', bt + "\n[BtItem]\n" + huge + "\n" + binary);
    Bt(6, 'D', binary + "[BtItem]\nSavePath=/s\nTarget=tail");  // no newline at the end
    WebList(5, 'C', web + binary);
    WebList(6, 'D', "[DownloadItem]\n" + huge + "\nCount=1");
    Write("tmp/bt.pid", binary);
    Write("tmp/emailBTProblem", binary);
    Write("media.conf", binary + huge);
    Set("MEDIA_SERVER_ENABLE", "1");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(1u, CallsOf("killall").size());
    EXPECT_EQ(1u, CallsOf("pomerel").size());
}

}  // namespace
}  // namespace eventtest
