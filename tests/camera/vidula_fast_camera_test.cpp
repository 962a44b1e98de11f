// Process test: vidula records every frame of a camera that sends as fast as
// the socket takes, whatever nvr_max_read_size, in the order sent; ffprobe
// counts the frames of the AVI files.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "avi_test_support.h"
#include "harness.h"

namespace {

using harness::Process;

const int kFrames = 300;
// Distinct pictures of distinct sizes, sent in turn, so that a lost,
// repeated or reordered frame shows in the recording.
const size_t kImageSizes[] = {31000, 18000, 45000, 24000, 60000, 21000, 37000};
const int kImageCount = sizeof(kImageSizes) / sizeof(kImageSizes[0]);

struct ReadCase {
    const char *name;
    const char *maxReadSize;  // nvr_max_read_size
};

void PrintTo(const ReadCase &c, std::ostream *os) { *os << c.name; }

class FastCamera : public ::testing::TestWithParam<ReadCase>, public harness::VidulaRig {
  protected:
    void SetUp() override {
        harness::BlockManagerWakeups();
        folder_ = root_.At("rec/");
        std::filesystem::create_directory(folder_);
        root_.QueueKey("mgrq");
        for (int i = 0; i < kImageCount; i++) {
            images_.push_back(avitest::PadJpeg(avitest::MakeJpeg(640, 480, i), kImageSizes[i]));
            root_.Write("jpeg/" + std::to_string(i) + ".jpg", images_.back());
        }
    }
    void TearDown() override {
        if (HasFailure() && vidula_) fprintf(stderr, "vidula:\n%s", vidula_->Output().c_str());
        vidula_.reset();
        camera_.reset();
    }

    // The finished recordings, in name (and so time) order.
    std::vector<std::string> Recordings() {
        std::vector<std::string> files;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder_)) {
            if (e.is_regular_file() && e.path().extension() == ".avi") {
                files.push_back(e.path().string());
            }
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    std::string folder_;
    std::vector<std::string> images_;
};

TEST_P(FastCamera, EveryFrameIsRecordedInOrder) {
    RunCamera({"--size", "640x480", "--fps", "0", "--frames", std::to_string(kFrames), "--type",
               "zorvan", "--jpeg-dir", root_.At("jpeg"), "--once"});
    ASSERT_NE(0, port_) << camera_->Output();
    RunVidula({{"ipcam_type", "IPCAM_ZORVAN_30"},
               {"ipcam_video_width", "640"},
               {"ipcam_video_height", "480"},
               {"ipcam_fps", "25"},
               {"nvr_record_folder", folder_},
               {"nvr_manager_mq", root_.At("mgrq")},
               {"nvr_max_read_size", GetParam().maxReadSize}},
              {"-v"}, {{"TZ", "UTC"}});
    ASSERT_TRUE(camera_->WaitForLine("sent " + std::to_string(kFrames) + " frames"))
        << camera_->Output();
    // The camera's close blocks the recording, which finishes the file.
    ASSERT_TRUE(vidula_->WaitForLine(") Error: IP camera is disconnected"));
    ASSERT_TRUE(vidula_->WaitForLine("Average frame rate is "));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_EQ(0, vidula_->Count("skip this frame")) << "no frame was dropped";

    std::vector<std::string> files = Recordings();
    ASSERT_FALSE(files.empty());
    int counted = 0;
    std::vector<std::string> recorded;
    for (const std::string &file : files) {
        harness::RunResult probe = harness::Run(
            {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
             "stream=nb_read_frames", "-of", "default=nw=1:nk=1", file});
        EXPECT_EQ(0, probe.status) << probe.output;
        counted += atoi(probe.output.c_str());
        EXPECT_EQ("", avitest::DecodeErrors(file)) << file;
        std::string bytes = harness::ReadFile(file);
        std::vector<avitest::IndexEntry> index;
        ASSERT_TRUE(avitest::ReadIndex(bytes, &index)) << file;
        for (const avitest::IndexEntry &entry : index) {
            if (entry.length == 0) continue;  // a catch-up frame
            bool ok = false;
            recorded.push_back(avitest::ChunkData(bytes, entry, &ok));
            EXPECT_TRUE(ok) << file;
        }
    }
    EXPECT_EQ(kFrames, counted);
    ASSERT_EQ(static_cast<size_t>(kFrames), recorded.size());
    for (int i = 0; i < kFrames; i++) {
        ASSERT_TRUE(recorded[i] == images_[i % kImageCount]) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Camera, FastCamera,
                         ::testing::Values(ReadCase{"unlimitedReads", "0"},
                                           ReadCase{"defaultReads", "2048"},
                                           ReadCase{"largeReads", "1000000"}),
                         [](const ::testing::TestParamInfo<ReadCase> &c) {
                             return std::string(c.param.name);
                         });

}  // namespace
