// after2038_test.cpp -- vidula and tarsel with the clock set past the end of
// 32-bit time_t (libfaketime): vidula records the camera stand-in across the
// midnight that ends 2040-02-29, and the recordings are named, foldered and
// cut by that clock and read clean by ffprobe.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

// Hand-off history times (parcelod's send_time and expired_time records)
// and quota notice dates (orlinda's quotaNotification.conf) are tested the
// same way once those programs are part of the tree: start them with
// FakeClockEnv("2040-02-29 23:59:55") and read the dates from their files.

}  // namespace
