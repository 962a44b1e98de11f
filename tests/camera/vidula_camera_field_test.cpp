// vidula_camera_field_test.cpp -- what the camera sends said once per
// connection, with a real vidula: frames larger than the buffers, pictures
// of another size than configured.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "vidula_field.h"

namespace {

namespace fs = std::filesystem;

class CameraField : public harness::VidulaFieldTest {};

// Frames larger than the buffers and pictures of another size than the
// configured one are said without -v, once per connection.
TEST_F(CameraField, OversizeFramesAreSaidOnce) {
    StartCamera({"--size", "640x480", "--pad-to", "100000"});
    StartVidula({{"ipcam_video_width", "160"}, {"ipcam_video_height", "120"}});
    ASSERT_TRUE(vidula_->WaitForLine(
        "The camera sends frames of 100000 bytes, larger than the frame buffer (57600 bytes)"))
        << vidula_->Output();
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_EQ(1, vidula_->Count("The camera sends frames of"));
}

TEST_F(CameraField, PictureSizeOtherThanConfiguredIsSaidOnce) {
    StartCamera({"--size", "320x240"});
    StartVidula({{"ipcam_video_width", "640"}, {"ipcam_video_height", "480"}});
    ASSERT_TRUE(
        vidula_->WaitForLine("The camera's picture is 320x240 but the recordings are made "
                             "for 640x480: set ipcam_video_width and ipcam_video_height"))
        << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (fs::file_size(folder_ + f) > 50000) return true;
        }
        return false;
    }));
    EXPECT_EQ(1, vidula_->Count("The camera's picture is"));
}

}  // namespace
