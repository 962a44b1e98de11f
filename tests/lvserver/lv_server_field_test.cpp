// lv_server_field_test.cpp -- the live video server in the field, with a
// real vidula: out of descriptors, viewers that take nothing, and a camera
// back with another boundary.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vidula_field.h"

namespace {

using harness::Process;

class LiveServerField : public harness::VidulaFieldTest {};

// Reads what a viewer got; false when the connection ended (EOF or error).
bool Drain(int fd, std::string *got) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            if (got != nullptr && got->size() < 4096) got->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

int Viewer(int port, int receiveBuffer = 0) {
    int fd = harness::ConnectLoopback(port, receiveBuffer);
    if (fd < 0) return -1;
    const char request[] = "GET /mjpg/video.mjpg HTTP/1.0\r\n\r\n";
    send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL);
    return fd;
}

// Out of descriptors: accepting pauses (said once) and goes on when one is
// free again.
TEST_F(LiveServerField, OutOfDescriptorsPausesAccepting) {
    harness::SilentPort camera;
    port_ = camera.port();
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)}});
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA("));
    std::map<int, std::string> fds = harness::Descriptors(vidula_->pid());
    int lowestFree = 3;
    while (fds.count(lowestFree)) lowestFree++;
    struct rlimit old;
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, nullptr, &old));
    struct rlimit tight = {static_cast<rlim_t>(lowestFree), old.rlim_max};
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, &tight, nullptr));
    int viewer = Viewer(live);
    ASSERT_NE(-1, viewer);
    ASSERT_TRUE(vidula_->WaitForLine("accepting is paused until a descriptor is free"));
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, &old, nullptr));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server accepts connections again."));
    ASSERT_TRUE(vidula_->WaitForLine("Accept a live video client("));
    EXPECT_EQ(1, vidula_->Count("Fail to accept live video client connection request"));
    close(viewer);
}

// Five viewers that stop reading for good give their places up after the
// stall time (30 seconds; 2 here through the environment); the next viewer
// is then served.
TEST_F(LiveServerField, ViewersThatTakeNothingGiveTheirPlaceUp) {
    StartCamera({"--size", "640x480", "--pad-to", "150000"});
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)},
                 {"ipcam_video_width", "640"},
                 {"ipcam_video_height", "480"}},
                true, "", {{"VIDULA_LV_STALL_SECONDS", "2"}});
    ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected"));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    std::vector<int> sleepers;
    for (int i = 0; i < 5; i++) sleepers.push_back(Viewer(live, 4096));
    ASSERT_TRUE(vidula_->WaitForCount("Accept a live video client(", 5));
    ASSERT_TRUE(
        vidula_->WaitForCount("took nothing for 2 seconds; closed", 5, std::chrono::seconds(60)));
    int fresh = Viewer(live);
    std::string got;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(fresh, &got);
        return got.find("\r\n\r\n") != std::string::npos;
    }));
    EXPECT_EQ(0u, got.find("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(std::string::npos, vidula_->Output().find("connection pool is full"));
    for (int fd : sleepers) close(fd);
    close(fresh);
}

// The camera comes back with another boundary: the viewer of the old stream
// is ended; a new viewer's header names the new boundary.
TEST_F(LiveServerField, BoundaryChangeEndsViewersOfTheOldStream) {
    StartCamera({"--boundary", "oldstream"});
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)}});
    ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected"));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    int viewer = Viewer(live);
    std::string got;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(viewer, &got);
        return got.find("--oldstream") != std::string::npos;
    }));
    EXPECT_NE(std::string::npos, got.find("boundary=oldstream\r\n"));
    camera_.reset();
    camera_ = std::make_unique<Process>(std::vector<std::string>{
        harness::BinDir() + "/ipcam_standin", "--port", std::to_string(port_), "--size", "320x240",
        "--fps", "25", "--boundary", "newstream"});
    ASSERT_TRUE(camera_->WaitForLine("listening on 127.0.0.1:"));
    ASSERT_TRUE(vidula_->WaitForCount("IP camera is connected", 2, std::chrono::seconds(30)));
    EXPECT_TRUE(harness::WaitUntil([&] { return !Drain(viewer, nullptr); }));
    int fresh = Viewer(live);
    std::string header;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(fresh, &header);
        return header.find("--newstream") != std::string::npos;
    })) << "fresh viewer got: "
        << header.substr(0, 300);
    EXPECT_NE(std::string::npos, header.find("boundary=newstream\r\n"));
    close(viewer);
    close(fresh);
}

}  // namespace
