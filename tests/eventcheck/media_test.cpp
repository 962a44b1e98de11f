// media_test.cpp -- the missing media folders: the recorded list, the trigger and the mail bodies.
#include "event_fixture.h"

namespace eventtest {
namespace {

class OrlindaMediaFolderTest : public EventCheckTest {
  protected:
    void SetUp() override {
        EventCheckTest::SetUp();
        Set("MEDIA_SERVER_ENABLE", "1");
        Write("media.conf",
              "[HDD1]C:\\video\n[USB1]D:\\photos\n[RAID]C:\\music\n[HDD2]C:\\films\n");
        for (const char *dir : {"mnt/USB5/C:/video", "mnt/USB1/D:/photos", "mnt/USB4/C:/music",
                                "mnt/USB6/C:/films"}) {
            Mkdir(dir);
        }
    }
    void Lose(const std::string &dir) { rmdir(root.At(dir).c_str()); }
    std::string FolderMail(const std::string &body) {
        return Mail(0, "emailMediaNoFolderSubject", body, "/nasext/main/email/emailMediaFolder", 1);
    }
    std::vector<std::string> Mails() { return CallsOf("kestrin.sh"); }
};

TEST_F(OrlindaMediaFolderTest, FirstListIsRecordedWithoutAMail) {
    Lose("mnt/USB5/C:/video");
    Set("EMAIL_LANGUAGE", "3");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(Mails().empty());
    EXPECT_FALSE(Exists("nasext/main/email/emailMediaFolder"));
    EXPECT_EQ("[HDD1]C:\\video\n", Read("tmp/emailMediaFolderItem"));
    EXPECT_EQ("[HDD1]C:\\video\n", Read("nasext/main/email/emailMediaFolderItem"));
    EXPECT_FALSE(Exists("tmp/emailMediaFolderItem_bak"));
}

TEST_F(OrlindaMediaFolderTest, ANewMissingFolderIsMailedOnceWithEveryMissingFolder) {
    Lose("mnt/USB5/C:/video");
    ASSERT_EQ(0, RunOrlinda());
    Lose("mnt/USB1/D:/photos");
    ClearCalls();
    Set("EMAIL_LANGUAGE", "3");  // the media folder mail always says 0
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((std::vector<std::string>{FolderMail(
                  "[HDD1]C:\\video $$$emailAnd [USB1]D:\\photos $$$emailMediaNoFolderTwo")}),
              Mails());
    EXPECT_EQ("[HDD1]C:\\video\n[USB1]D:\\photos\n", Read("tmp/emailMediaFolderItem"));
    // The mail script took the trigger: the same list is not mailed again.
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_TRUE(Mails().empty());
}

TEST_F(OrlindaMediaFolderTest, BodiesForOneAndForThreeFolders) {
    Lose("mnt/USB6/C:/films");
    ASSERT_EQ(0, RunOrlinda());
    // The trigger left by an earlier run mails the one folder still missing.
    Write("nasext/main/email/emailMediaFolder", "");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((std::vector<std::string>{FolderMail("[HDD2]C:\\films $$$emailMediaNoFolderOne")}),
              Mails());
    Lose("mnt/USB5/C:/video");
    Lose("mnt/USB4/C:/music");
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ((std::vector<std::string>{FolderMail("[HDD1]C:\\video, [RAID]C:\\music $$$emailAnd "
                                                   "[HDD2]C:\\films $$$emailMediaNoFolderTwo")}),
              Mails());
}

TEST_F(OrlindaMediaFolderTest, FoldersBackRemoveTheLists) {
    Lose("mnt/USB5/C:/video");
    ASSERT_EQ(0, RunOrlinda());
    Mkdir("mnt/USB5/C:/video");
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_FALSE(Exists("tmp/emailMediaFolderItem"));
    EXPECT_FALSE(Exists("nasext/main/email/emailMediaFolderItem"));
}

TEST_F(OrlindaMediaFolderTest, ElevenAndMoreMissingFoldersAreAllKept) {
    std::string conf, expected;
    for (int i = 0; i < 40; i++) {
        std::string line = "[HDD3]C:\\gone" + std::to_string(i);
        conf += line + "\n";
        expected += line + "\n";
    }
    conf += "[HDD9]C:\\unknown label\n\n" + std::string(5000, 'x') + "\n";
    Write("media.conf", conf);
    ASSERT_EQ(0, RunOrlinda());
    EXPECT_EQ(expected, Read("tmp/emailMediaFolderItem"));
}

}  // namespace
}  // namespace eventtest
