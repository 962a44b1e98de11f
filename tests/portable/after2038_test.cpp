// after2038_test.cpp -- vidula and tarsel with the clock set past the end of
// 32-bit time_t (libfaketime): vidula records the camera stand-in across the
// midnight that ends 2040-02-29, and the recordings are named, foldered and
// cut by that clock and read clean by ffprobe; parcelod writes hand-off
// history times and orlinda quota notice dates of 2040.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "event_fixture.h"
#include "handoff_test_support.h"
#include "harness.h"

namespace {

using harness::Process;

// libfaketime preloaded into vidula (and so into tarsel and the shell tools
// they start), its clock starting at start. An ASan runtime wants to come
// first among the libraries; libfaketime before it is harmless here.
std::map<std::string, std::string> FakeClockEnv(const std::string &start) {
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr ? std::string(asan) + ":" : "";
    return {{"TZ", "UTC"},
            {"LD_PRELOAD", NAS_LIBFAKETIME},
            {"FAKETIME", "@" + start},
            {"ASAN_OPTIONS", options + "verify_asan_link_order=0"}};
}

std::vector<std::string> Recordings(const std::string &folder) {
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(folder)) {
        if (e.is_regular_file()) files.push_back(e.path().string().substr(folder.size()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ProbeFrames(const std::string &path) {
    harness::RunResult r =
        harness::Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "stream=nb_frames,width,height", "-of", "csv=p=0", path});
    return std::to_string(r.status) + " " + r.output;
}

TEST(After2038, RecordingsNamedAndCutByAClockIn2040) {
    harness::BlockManagerWakeups();
    harness::TempRoot root;
    std::string folder = root.At("rec/");
    std::filesystem::create_directory(folder);
    int port = 0;
    auto camera = harness::StartCameraStandIn({"--size", "320x240", "--fps", "10"}, &port);
    ASSERT_NE(port, 0);
    std::string conf =
        root.Write("vidula.conf", harness::ConfigText({{"ipcam_port", std::to_string(port)},
                                                       {"ipcam_video_width", "320"},
                                                       {"ipcam_video_height", "240"},
                                                       {"ipcam_fps", "10"},
                                                       {"nvr_record_folder", folder},
                                                       {"nvr_video_name_prefix", "cam"},
                                                       {"nvr_log_console", "yes"}}));
    // Five seconds before midnight: the first file is cut at 00:00:00 and
    // the next one opens in the new day's folder.
    Process vidula({harness::BinDir() + "/vidula", "-c", conf},
                   FakeClockEnv("2040-02-29 23:59:55"));
    ASSERT_TRUE(vidula.WaitForLine("Execute TARSEL as pid (")) << vidula.Output();
    ASSERT_TRUE(vidula.WaitForLine("Start at time [2040/02/29 23:59:5")) << vidula.Output();
    ASSERT_TRUE(harness::WaitUntil([&] { return std::filesystem::exists(folder + "2040/03/01"); },
                                   std::chrono::milliseconds(30000)))
        << vidula.Output();
    ASSERT_TRUE(harness::WaitUntil([&] { return Recordings(folder).size() >= 2; }))
        << vidula.Output();
    vidula.Signal(SIGTERM);
    EXPECT_EQ(vidula.WaitExit(), 1);

    std::vector<std::string> files = Recordings(folder);
    ASSERT_EQ(files.size(), 2u) << vidula.Output();
    EXPECT_EQ(files[0].substr(0, 26), "2040/02/29/cam2040-02-29#2");
    EXPECT_EQ(files[0].substr(files[0].size() - 24), "_2040-03-01#00-00-00.avi");
    EXPECT_EQ(files[1].substr(0, 34), "2040/03/01/cam2040-03-01#00-00-00_");
    for (const std::string &f : files) {
        EXPECT_EQ(f.find("_.avi"), std::string::npos) << f;
        std::string probe = ProbeFrames(folder + f);
        EXPECT_EQ(probe.substr(0, 10), "0 320,240,") << f << ": " << probe;
    }
}

// The clock a test's own children get: FakeClockEnv put into this process's
// environment for the time of one scope (orlinda's fixture starts it with the
// test's environment). The test process itself keeps the real clock.
class FakeClockScope {
  public:
    explicit FakeClockScope(const std::string &start) {
        for (const auto &e : FakeClockEnv(start)) {
            const char *old = getenv(e.first.c_str());
            saved_.push_back({e.first, old != nullptr, old != nullptr ? old : ""});
            setenv(e.first.c_str(), e.second.c_str(), 1);
        }
    }
    ~FakeClockScope() {
        for (const Saved &s : saved_) {
            if (s.present) {
                setenv(s.name.c_str(), s.value.c_str(), 1);
            } else {
                unsetenv(s.name.c_str());
            }
        }
    }

  private:
    struct Saved {
        std::string name;
        bool present;
        std::string value;
    };
    std::vector<Saved> saved_;
};

// true when text is prefix followed by a second count 0..59 and nothing else.
bool PrefixAndSecond(const std::string &text, const std::string &prefix) {
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = text.substr(prefix.size());
    if (rest.empty() || rest.size() > 2 || rest.find_first_not_of("0123456789") != rest.npos) {
        return false;
    }
    return std::stoi(rest) < 60 && (rest.size() == 1 || rest[0] != '0');
}

std::vector<std::string> LinesOf(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class After2038Handoff : public handofftest::HandoffServerTest {};

// A folder handed off at noon on 2040-02-29: the create reply and the history
// record carry that time and the expiry 30 days on, in the history's
// unpadded "Y/M/D h:m:s" form.
TEST_F(After2038Handoff, HistoryTimesIn2040) {
    using handofftest::Bytes;
    using handofftest::Cat;
    using handofftest::Str;
    ASSERT_TRUE(StartServer(FakeClockEnv("2040-02-29 12:00:00")));
    int fd = LoggedIn();
    uint32_t status = 99;
    std::vector<std::string> share = Share(fd, "alice", "photos", 12, &status);
    ASSERT_EQ(6u, share.size());
    ASSERT_EQ(0u, status);
    const std::string id = share[2];
    EXPECT_TRUE(PrefixAndSecond(share[3], "2040/3/30 12:0:")) << share[3];
    EXPECT_EQ(Bytes({0x84, 0, 0, 0, 0}), Ask(fd, 4, Cat({Str("/mnt/USB5/C:/photos"), Str(id)})));
    EXPECT_EQ(Cat({Bytes({0x0C, 0, 0, 0, 0}), Str(id)}), Read(fd, 5 + 4 + 20));

    std::string history = harness::ReadFile(app->HistoryFile());
    std::vector<std::string> lines = LinesOf(history);
    ASSERT_EQ(11u, lines.size()) << history;
    EXPECT_EQ("[alice]", lines[0]);
    ASSERT_EQ(0u, lines[3].find("send_time\t")) << history;
    EXPECT_TRUE(PrefixAndSecond(lines[3].substr(10), "2040/2/29 12:0:")) << lines[3];
    EXPECT_EQ("files_id\t" + id, lines[5]);
    EXPECT_EQ("expired_time\t" + share[3], lines[8]);
    EXPECT_EQ("status\tSuccess", lines[9]);
}

class After2038Quota : public eventtest::EventCheckTest {};

// alice above her warning level on 2040-02-29: orlinda dates her notice
// "2040-2-29" (the notice file's unpadded Y-M-D) and mails her once.
TEST_F(After2038Quota, NoticeDatedIn2040) {
    Set("QUOTA_ENABLE", "1");
    Set("QUOTA_ALERT", "1");
    Set("QUOTA_MAIL_FREQUENCY", "1");
    Set("NAS_USER_NAME", "alice");
    SetOutput("mount", "/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n");
    SetOutput("df", "/dev/sda1 100 50 50 50% /mnt/USB5/C:\n");
    SetOutput("repquota",
              "*** Report for quotas on device /dev/sda1\n"
              "Name            used    soft    hard  grace    used  soft  hard  grace\n"
              "----------------------------------------------------------------------\n"
              "alice     --  3145728       0       0              2     0     0\n");
    Write("mnt/USB5/C:/.system_file/quotaUser.conf",
          "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =2048\n"
          "quotaLimit =10240\nuserEnd\n");
    {
        // Noon, so the run stays inside the one day.
        FakeClockScope clock("2040-02-29 12:00:00");
        ASSERT_EQ(0, RunOrlinda()) << output;
    }
    EXPECT_EQ("name =alice\nwarningLevel =2040-2-29\nquotaLimit =\n",
              Read("mnt/USB5/C:/.system_file/quotaNotification.conf"));
    EXPECT_EQ(1u, CallsOf("kestrin.sh").size());
}

}  // namespace
