// parse_test.cpp -- the list readers, the text formats and the ranking, from tables of cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orlinda.h"

namespace {

FILE *Stream(const std::string &text) {
    static std::vector<std::string> keep;  // fmemopen reads the caller's bytes
    keep.push_back(text);
    return fmemopen(const_cast<char *>(keep.back().data()), keep.back().size(), "r");
}

std::vector<BtItem> Bt(const std::string &text) {
    std::vector<BtItem> items;
    FILE *in = Stream(text);
    ReadBtItems(in, 5, 'C', &items);
    fclose(in);
    return items;
}

std::vector<WebDownloadItem> Web(const std::string &text) {
    std::vector<WebDownloadItem> items;
    FILE *in = Stream(text);
    ReadWebItems(in, 2, 'D', &items);
    fclose(in);
    return items;
}

const char kBtItem[] =
    "[BtItem]\n"
    "  OwnerUser=alice\r\n"
    "\tTorrentType=file\n"
    "TorrentInformation=/torrents/a.torrent\n"
    "AddTime=4000000000\n"
    "TryCounts=3\n"
    "SavePath=/downloads\n"
    "Target=ubuntu.iso\n"
    "Contents=ubuntu.iso\n"
    "Contents=readme.txt\n"
    "TotalSize=5368709120\n"
    "Status=5\n"
    "Priority=2\n"
    "Unknown=ignored\n";

TEST(OrlindaBtList, ReadsEveryKeyOfAnItem) {
    std::vector<BtItem> items = Bt(std::string("\n") + kBtItem);
    ASSERT_EQ(1u, items.size());
    const BtItem &item = items[0];
    EXPECT_EQ("alice", item.owner);
    EXPECT_EQ(0, item.torrentType);
    EXPECT_EQ("/mnt/USB5/C:/torrents/a.torrent", item.torrentInformation);
    EXPECT_EQ(4000000000u, item.addTime);
    EXPECT_EQ(3u, item.tryCounts);
    EXPECT_EQ("/mnt/USB5/C:/downloads", item.savePath);
    EXPECT_EQ("ubuntu.iso", item.target);
    EXPECT_EQ(5368709120LL, item.totalSize);
    EXPECT_EQ(5, item.status);
    EXPECT_EQ(2, item.priority);
    EXPECT_EQ(5, item.volume);
    EXPECT_EQ('C', item.letter);
}

TEST(OrlindaBtList, ItemBoundariesAndTheLastItemsSavePath) {
    struct Case {
        const char *text;
        std::vector<std::string> targets;
    } cases[] = {
        {"[BtItem]\nTarget=a\n[BtItem]\nTarget=b\nSavePath=/x\n", {"a", "b"}},
        {"[BtItem]\nTarget=a\nSavePath=/x\n[BtItem]\nTarget=b\n", {"a"}},
        {"[BtItem]\nTarget=a\nSavePath=\n", {}},
        {"Target=before\n[BtItem]\nTarget=a\nSavePath=/x", {"a"}},  // no newline at the end
        {"TorrentType=url\n", {}},
        {"", {}},
        {"[BtItem]\n\n \n[BtItem]\nTarget=z\nSavePath=/s\n", {"", "z"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> targets;
        for (const BtItem &item : Bt(c.text)) targets.push_back(item.target);
        EXPECT_EQ(c.targets, targets) << c.text;
    }
}

TEST(OrlindaBtList, TorrentTypesAndUrls) {
    struct Case {
        const char *line;
        int type;
        const char *information;
    } cases[] = {
        {"TorrentType=url\nTorrentInformation=http://h/t.torrent\n", 1, "http://h/t.torrent"},
        {"TorrentType=file\nTorrentInformation=/t.torrent\n", 0, "/mnt/USB5/C:/t.torrent"},
        {"TorrentType=magnet\n", -1, ""},
    };
    for (const Case &c : cases) {
        std::vector<BtItem> items = Bt(std::string("[BtItem]\nSavePath=/s\n") + c.line);
        ASSERT_EQ(1u, items.size());
        EXPECT_EQ(c.type, items[0].torrentType) << c.line;
        EXPECT_EQ(c.information, items[0].torrentInformation) << c.line;
    }
}

TEST(OrlindaBtList, AnOverLongLineIsReadAsOneLine) {
    std::string name(5000, 'n');
    std::vector<BtItem> items = Bt("[BtItem]\nTarget=" + name + "\nSavePath=/s\nStatus=4\n");
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(name, items[0].target);
    EXPECT_EQ(4, items[0].status);
}

TEST(OrlindaWebList, ReadsAnItemAndTakesTheLastOnlyWithItsCount) {
    std::vector<WebDownloadItem> items =
        Web("[DownloadItem]\nOwnerUser=bob\nUrl2=ftp://mirror/f.zip\nUrl=http://h/f.zip\n"
            "Path=/dl/f.zip\nSize=10000000000\nStatus=3\nLastSize=5000000000\nTime=1700000000\n"
            "Count=2\n[DownloadItem]\nPath=/dl/g.zip\n");
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ("ftp://mirror/f.zip", items[0].url2);
    EXPECT_EQ("http://h/f.zip", items[0].url);
    EXPECT_EQ("/mnt/USB2/D:/dl/f.zip", items[0].fullPath);
    EXPECT_EQ(10000000000LL, items[0].size);
    EXPECT_EQ(3, items[0].status);
    EXPECT_EQ(5000000000LL, items[0].lastSize);
    EXPECT_EQ(1700000000L, items[0].time);
    EXPECT_EQ(2, items[0].count);
    EXPECT_EQ(2u, Web("[DownloadItem]\nPath=/a\n[DownloadItem]\nPath=/b\nCount=0").size());
}

BtItem Ranked(int priority, int status, uint32_t tries, uint32_t added) {
    BtItem item;
    item.priority = priority;
    item.status = status;
    item.tryCounts = tries;
    item.addTime = added;
    item.target = std::to_string(priority) + "/" + std::to_string(status) + "/" +
                  std::to_string(tries) + "/" + std::to_string(added);
    return item;
}

TEST(OrlindaBtRank, PriorityThenActiveThenTriesThenAddTime) {
    struct Case {
        BtItem a, b;
        bool before;
    } cases[] = {
        {Ranked(2, 0, 9, 9), Ranked(1, 1, 0, 0), true},
        {Ranked(1, 1, 9, 9), Ranked(1, 3, 0, 0), true},
        {Ranked(1, 2, 9, 9), Ranked(1, 5, 0, 0), true},
        {Ranked(1, 3, 1, 9), Ranked(1, 3, 2, 0), true},
        {Ranked(1, 3, 1, 1), Ranked(1, 3, 1, 2), true},
        {Ranked(1, 3, 1, 2), Ranked(1, 3, 1, 2), false},
        {Ranked(0, 1, 0, 0), Ranked(1, 3, 9, 9), false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.before, BtRanksBefore(c.a, c.b)) << c.a.target << " vs " << c.b.target;
    }
}

TEST(OrlindaBtRank, FortyItemsKeepTheThirtyTwoBestInRankOrder) {
    std::vector<BtItem> list;
    for (uint32_t i = 0; i < 40; i++) InsertBtItem(&list, Ranked(0, 3, 0, 1000 - i));
    InsertBtItem(&list, Ranked(7, 3, 50, 5000));  // a high priority always wins
    ASSERT_EQ(32u, list.size());
    EXPECT_EQ(7, list[0].priority);
    for (size_t i = 1; i < list.size(); i++) {
        EXPECT_EQ(961u + i - 1, list[i].addTime);
    }
    InsertBtItem(&list, Ranked(0, 3, 0, 2000));  // ranks after every kept item
    EXPECT_EQ(991u, list.back().addTime);
}

TEST(OrlindaFormatSize, Table) {
    struct Case {
        double bytes;
        const char *text;
    } cases[] = {
        {0, "0"},           {1536, "1536"},    {2048, "2.0K"}, {102400, "100K"},
        {1572864, "1536K"}, {3145728, "3.0M"}, {1e12, "931G"}, {5.5 * 1099511627776.0, "5.5T"},
        {-5, "-5"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.text, FormatSize(c.bytes)) << c.bytes;
}

TEST(OrlindaFormatBtSize, Table) {
    EXPECT_EQ("0.00KB", FormatBtSize(0));
    EXPECT_EQ("1023.00KB", FormatBtSize(1047552));
    EXPECT_EQ("1.00MB", FormatBtSize(1 << 20));
    EXPECT_EQ("5.00GB", FormatBtSize(5368709120LL));
    EXPECT_EQ("8192.00GB", FormatBtSize(8796093022208LL));
}

TEST(OrlindaWebRow, LocationText) {
    struct Case {
        const char *path, *text;
    } cases[] = {
        {"/mnt/USB5/C:/dl/f.zip", "[HDD1]C:\\dl\\"},
        {"/mnt/USB3/E:/f.zip", "[eSATA]E:\\"},
        {"/mnt/USB1/Q:/a/b/c/", "[USB1]Q:\\a\\b\\c\\"},
        {"/mnt/USB9/C:/x", "[USB9]C:\\"},
        {"/mnt", ""},
        {"/mnt/U/S5/C:x", "[U\\"},  // cut inside the bracket: no label put in
    };
    for (const Case &c : cases) EXPECT_EQ(c.text, WebLocationText(c.path)) << c.path;
}

TEST(OrlindaWebRow, StatusText) {
    struct Case {
        int status;
        int64_t size, last;
        const char *text;
    } cases[] = {
        {4, 0, 0, "Finished"},
        {4, 100, 50, "Failed"},
        {4, 100, 0, "Failed"},
        {4, 0, 10, "Trying"},
        {4, 100, 200, "Trying"},
        {5, 100, 10, "Paused"},
        {3, 1000, 995, "99%"},
        {3, 1000, 990, "99%"},
        {3, 1000, 980, "98%"},
        {1, 1000, 0, "0%"},
        {1, 0, 10, "Trying"},
        {1, -1, 10, "Trying"},
        {3, 8000000000000000000, 7999999999999999999, "99%"},
        {3, 8000000000000000000, 4000000000000000000, "50%"},
        {3, 100, INT64_MAX, "99%"},
        {3, 100, INT64_MIN, "-1000000000000000000%"},
    };
    for (const Case &c : cases) {
        WebDownloadItem item;
        item.status = c.status;
        item.size = c.size;
        item.lastSize = c.last;
        EXPECT_EQ(c.text, WebStatusText(item)) << c.status << " " << c.size << " " << c.last;
    }
}

TEST(OrlindaNasLog, FormatLineTable) {
    struct Case {
        const char *text;
        int result;
        const char *line;
    } cases[] = {
        {"2026/12/10 10:00:00\tLocal\tbtDownload\t1\tdownloadBegin\t[a b]\tisDownloadCompletely", 0,
         "2026/12/10 10:00:00\tLocal\t<btDownload>\t\t<downloadBegin>[a "
         "b]<isDownloadCompletely>\n"},
        {"d\ts\tm\t0\tx<y>z", 0, "d\ts\t<m>\t\t<x\\<y\\>z>\n"},
        {"d\ts\tm\t2\ta\tb\tc\td\te\tf", 0, "d\ts\t<m>\t\t<a>b<c>d<e\tf>\n"},
        {"d\ts\tm\t7\ta", 0, "d\ts\t<m>\t\t\n"},
        {"d\ts\tm", 1, ""},
        {"d\ts\tm\t1\tonly", 1, ""},
        {"d\ts\tm\t2\ta\tb\tc", 1, ""},
    };
    for (const Case &c : cases) {
        std::string line;
        EXPECT_EQ(c.result, FormatNasLogLine(c.text, &line)) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(c.line, line) << c.text;
        }
    }
}

TEST(OrlindaMediaFolder, ConvertTable) {
    struct Case {
        const char *line;
        int result;
        const char *path;
    } cases[] = {
        {"[USB1]C:\\music", 0, "USB1/C:/music"},
        {"[USB2]D:\\a\\b", 0, "USB2/D:/a/b"},
        {"[eSATA]C:\\v", 0, "USB3/C:/v"},
        {"[RAID]C:\\v", 0, "USB4/C:/v"},
        {"[HDD1]C:\\v", 0, "USB5/C:/v"},
        {"[HDD2]C:\\v", 0, "USB6/C:/v"},
        {"[HDD3]C:\\v", 0, "USB7/C:/v"},
        {"[HDD4]E:\\my music", 0, "USB8/E:/my music"},
        {"[HDD9]C:\\v", 1, ""},
        {"music", 1, ""},
        {"", 1, ""},
    };
    for (const Case &c : cases) {
        std::string path;
        EXPECT_EQ(c.result, ConvertMediaFolder(c.line, &path)) << c.line;
        if (c.result == 0) {
            EXPECT_EQ(c.path, path) << c.line;
        }
    }
}

TEST(OrlindaBtPid, FindsTheSectionOfTheTorrent) {
    const char text[] =
        "[BT.PID]\nPid=0\nTempFileName=/tmp/w0\nTorrentInformation=http://a\n"
        "[BT.PID]\nPid=321\nTempFileName=/tmp/w1\nTorrentInformation=/mnt/USB5/C:/t.torrent\n"
        "[BT.PID]\nTorrentInformation=http://last\nPid=9\nTempFileName=/tmp/w2";
    struct Case {
        const char *torrent;
        int result;
        long pid;
        const char *file;
    } cases[] = {
        {"http://a", 0, 0, "/tmp/w0"},
        {"/mnt/USB5/C:/t.torrent", 0, 321, "/tmp/w1"},
        {"http://last", 0, 9, "/tmp/w2"},
        {"http://none", 1, -1, ""},
    };
    for (const Case &c : cases) {
        FILE *in = Stream(text);
        long pid = -1;
        std::string file;
        EXPECT_EQ(c.result, FindBtPid(in, c.torrent, &pid, &file)) << c.torrent;
        EXPECT_EQ(c.pid, pid) << c.torrent;
        EXPECT_EQ(c.file, file) << c.torrent;
        fclose(in);
    }
}

}  // namespace
