// vidula_storage_test.cpp -- vidula recording the camera stand-in into a
// small quota, with its own tarsel keeping the quota and the volume's reserve.
//
// The NVR manager stand-in starts vidula and prints every manager record;
// ffprobe reads every recording left behind. A stand-in df first on PATH
// plays a full volume where needed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using std::chrono::seconds;

const int kMaxFileSize = 500000;  // also the camera reserve (25 fps 320x240, 1 minute)

class VidulaStorageTest : public ::testing::Test, public harness::VidulaRig {
  protected:
    void SetUp() override {
        folder_ = root_.At("rec/");
        mkdir(folder_.c_str(), 0755);
        bin_ = root_.At("bin");
        mkdir(bin_.c_str(), 0755);
        RunCamera({"--size", "320x240", "--fps", "25"});
        ASSERT_NE(0, port_) << camera_->Output();
    }

    // Starts the manager stand-in with vidula under it.
    void Start(const std::map<std::string, std::string> &overrides) {
        std::string key = root_.QueueKey("manager.key");
        std::map<std::string, std::string> keys = {
            {"ipcam_fps", "25"},
            {"nvr_record_folder", folder_},
            {"nvr_video_name_prefix", "cam"},
            {"nvr_change_file_interval", "1"},
            {"nvr_max_file_size", std::to_string(kMaxFileSize)},
            {"nvr_manager_mq", key},
        };
        for (const auto &o : overrides) keys[o.first] = o.second;
        std::string config = WriteVidulaConfig(keys);
        manager_.reset(new harness::Process({harness::BinDir() + "/nvr_manager", "-q", key, "-n",
                                             "1", harness::BinDir() + "/vidula", "-c", config},
                                            {{"PATH", bin_ + ":" + getenv("PATH")}}));
    }

    // A stand-in df first on PATH: a volume with this many free 1K-blocks.
    void PlayVolume(int availableBlocks) {
        root_.Write("bin/df",
                    "#!/bin/sh\n"
                    "# df stand-in: a nearly full volume.\n"
                    "echo 'Filesystem     1K-blocks      Used Available Use% Mounted on'\n"
                    "echo '/dev/standin    9999999   9999999 " +
                        std::to_string(availableBlocks) + " 100% /v'\n");
        chmod((bin_ + "/df").c_str(), 0755);
    }

    // Recordings now in the tree, relative to the root, in name order.
    std::vector<std::string> Recordings() {
        std::string out =
            harness::Run({"sh", "-c", "cd \"$0\" && find . -name '*.avi' | sort", folder_}).output;
        std::vector<std::string> files;
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            files.push_back(out.substr(at + 2, end - at - 2));
        }
        return files;
    }
    // ffprobe's view of a recording: "mjpeg,320,240" when it is a sound file.
    std::string Probe(const std::string &relative) {
        return harness::Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=codec_name,width,height", "-of", "csv=p=0",
                             folder_ + relative})
            .output;
    }
    // Stops the manager, vidula and tarsel, and checks what is left.
    void StopAndProbeAll() {
        manager_->Signal(SIGTERM);
        EXPECT_NE(-1, manager_->WaitExit(seconds(30)));
        for (const std::string &file : Recordings()) {
            EXPECT_EQ(std::string::npos, file.find("_.avi")) << file << " was left open";
            EXPECT_EQ("mjpeg,320,240\n", Probe(file)) << file;
        }
    }
    int Count(const std::string &text) { return manager_->Count(text); }

    std::string folder_, bin_;
    std::unique_ptr<harness::Process> manager_;
};

// About three files fit: the oldest go as new ones start, the one being
// written stays, and recording never stops.
TEST_F(VidulaStorageTest, QuotaKeptByDeletingTheOldestWhileRecording) {
    Start({{"nvr_max_storage_space", "1700000"}});
    ASSERT_TRUE(manager_->WaitForCount("Quota used off and delete file", 3, seconds(120)))
        << manager_->Output();
    EXPECT_EQ(0, Count("record code=2 ")) << manager_->Output();  // never stopped
    EXPECT_GE(Count("record code=402 pid="), 1);
    EXPECT_GE(Count("record code=3 pid="), 4);
    std::string out = manager_->Output();
    for (size_t at = out.find("delete file "); at != std::string::npos;
         at = out.find("delete file ", at + 1)) {
        std::string path = out.substr(at + 12, out.find(" to reclaim", at) - at - 12);
        EXPECT_EQ(std::string::npos, path.find("_.avi")) << "deleted while written: " << path;
    }
    EXPECT_LE(Recordings().size(), 4u);
    StopAndProbeAll();
}

// No room and no recycling, by quota or by a full volume: vidula is blocked,
// its open file is finished and renamed, and no new file starts.
TEST_F(VidulaStorageTest, NonRecycleModeBlocksRecording) {
    const struct {
        const char *quota;
        int dfBlocks;  // 0: the real df
    } cases[] = {{"1200000", 0}, {"1000000000", 100}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dfBlocks ? "full volume" : "quota used");
        if (c.dfBlocks) PlayVolume(c.dfBlocks);
        Start({{"nvr_max_storage_space", c.quota}, {"nvr_recycle_storage", "no"}});
        ASSERT_TRUE(manager_->WaitForLine("text=Stop recording", seconds(60)))
            << manager_->Output();
        size_t filesWhenBlocked = Recordings().size();
        // Every frame asks again; each answer blocks again.
        int checks = Count("record code=3 pid=");
        ASSERT_TRUE(manager_->WaitForCount("record code=3 pid=", checks + 3, seconds(30)));
        EXPECT_EQ(filesWhenBlocked, Recordings().size());
        EXPECT_EQ(1, Count("text=Stop recording"));
        EXPECT_EQ(0, Count("Quota used off and delete file"));
        if (c.dfBlocks)
            EXPECT_GE(Count("record code=403 pid="), 1);
        else
            EXPECT_GE(Count("record code=402 pid="), 1);
        StopAndProbeAll();
        EXPECT_GE(Recordings().size(), 1u);
        harness::Run({"rm", "-f", root_.At("bin/df")});
        harness::Run({"sh", "-c", "rm -rf \"$0\"/*", folder_});
    }
}

// A volume with less free space than the reserve, in recycle mode: 403 on
// every check, the error line once, and old recordings make the room.
TEST_F(VidulaStorageTest, FullVolumeReclaimsTheOldestRecordings) {
    for (int day = 1; day <= 4; day++) {
        char relative[96];
        snprintf(relative, sizeof(relative), "rec/2024/05/%02d/cam2024-05-%02d#10-00-00_x.avi", day,
                 day);
        root_.Write(relative, std::string(450000, 'o'));
    }
    PlayVolume(100);  // 102400 bytes: one deleted recording of 450000 makes room
    Start({{"nvr_max_storage_space", "1000000000"}});
    ASSERT_TRUE(manager_->WaitForCount("Quota used off and delete file", 3, seconds(120)))
        << manager_->Output();
    EXPECT_GE(Count("record code=403 pid="), 3);
    EXPECT_EQ(1, Count("Error: The available disk space is smaller than the configured reserved "
                       "space of NVR system"));
    EXPECT_EQ(0, Count("record code=2 "));
    EXPECT_NE(std::string::npos,
              manager_->Output().find("2024/05/01/cam2024-05-01#10-00-00_x.avi"));
    manager_->Signal(SIGTERM);
    EXPECT_NE(-1, manager_->WaitExit(seconds(30)));
    for (const std::string &file : Recordings()) {
        if (file.compare(0, 5, "2024/") == 0) continue;  // the test's own filler
        EXPECT_EQ("mjpeg,320,240\n", Probe(file)) << file;
    }
}

}  // namespace
