// Process tests of the live video server: a real vidula records the camera
// stand-in while HTTP clients no one here wrote (ffmpeg, curl) watch the live
// stream, and misbehaving viewers come and go over real sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::Process;
using harness::TempRoot;

const char kHeader[] =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=ipcamframe\r\n\r\n";
const char kRequest[] = "GET /mjpg/video.mjpg HTTP/1.0\r\n\r\n";

int Count(const std::string &text, const std::string &word) {
    int count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        count++;
    return count;
}

// Frames ffmpeg decodes from a motion-JPEG source (a URL or a file).
int DecodedFrames(const std::string &source, int limit) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error",
                                     "-f",     "mpjpeg",   "-i", source};
    if (limit > 0) {
        argv.push_back("-frames:v");
        argv.push_back(std::to_string(limit));
    }
    argv.insert(argv.end(), {"-f", "framemd5", "-"});
    harness::RunResult r = harness::Run(argv);
    int frames = 0;
    size_t start = 0;
    while (start < r.output.size()) {
        size_t end = r.output.find('\n', start);
        if (end == std::string::npos) end = r.output.size();
        // "0, pts, dts, duration, size, md5" -- 640x480 in 4:2:0 is 460800 bytes
        if (r.output.compare(start, 2, "0,") == 0 &&
            r.output.substr(start, end - start).find(" 460800,") != std::string::npos) {
            frames++;
        }
        start = end + 1;
    }
    return frames;
}

// The frames with data (not the empty timing frames) in the AVI files under
// folder, as ffprobe counts them.
int RecordedFrames(const std::string &folder) {
    harness::RunResult files = harness::Run({"find", folder, "-name", "*.avi"});
    int frames = 0;
    size_t start = 0;
    while (start < files.output.size()) {
        size_t end = files.output.find('\n', start);
        if (end == std::string::npos) end = files.output.size();
        std::string file = files.output.substr(start, end - start);
        start = end + 1;
        if (file.empty()) continue;
        harness::RunResult probe = harness::Run(
            {"ffprobe", "-v", "error", "-show_entries", "packet=size", "-of", "csv=p=0", file});
        EXPECT_EQ(0, probe.status) << file << "\n" << probe.output;
        size_t at = 0;
        while (at < probe.output.size()) {
            size_t lineEnd = probe.output.find('\n', at);
            if (lineEnd == std::string::npos) lineEnd = probe.output.size();
            if (atol(probe.output.substr(at, lineEnd - at).c_str()) > 0) frames++;
            at = lineEnd + 1;
        }
    }
    return frames;
}

class LiveVideo : public ::testing::Test, public harness::VidulaRig {
  protected:
    void TearDown() override {
        for (int fd : sockets_) close(fd);
        viewers_.clear();
        vidula_.reset();
        camera_.reset();
    }

    // The camera stand-in at 640x480, 25 frames per second, with extra options.
    void StartCamera(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> options = {"--size", "640x480", "--fps", "25"};
        options.insert(options.end(), extra.begin(), extra.end());
        RunCamera(options);
        ASSERT_NE(0, port_) << camera_->Output();
    }

    void StartVidula(const std::map<std::string, std::string> &env = {}) {
        livePort_ = harness::FreeLoopbackPort();
        harness::Run({"mkdir", "-p", root_.At("rec")});
        RunVidula(
            {
                {"ipcam_video_width", "640"},
                {"ipcam_video_height", "480"},
                {"ipcam_fps", "25"},
                {"nvr_record_folder", root_.At("rec") + "/"},
                {"lvs_server_port", std::to_string(livePort_)},
            },
            {}, env);
        ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."))
            << vidula_->Output();
        ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected")) << vidula_->Output();
    }

    std::string Url() {
        return "http://127.0.0.1:" + std::to_string(livePort_) + "/mjpg/video.mjpg";
    }

    // curl saving the stream; the test stops it.
    std::string StartCurl(const std::string &name) {
        std::string body = root_.At(name + ".mjpg");
        viewers_.emplace_back(
            new Process({"curl", "-s", "-N", "-D", root_.At(name + ".head"), "-o", body, Url()}));
        return body;
    }

    // A raw viewer that sends request and then does what the test does.
    int RawViewer(const std::string &request = kRequest, int rcvbuf = 0) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        struct sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(livePort_));
        EXPECT_EQ(0, connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)));
        if (!request.empty()) send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        sockets_.push_back(fd);
        return fd;
    }

    // Frames in a growing curl file.
    int PartsIn(const std::string &body) {
        return Count(harness::ReadFile(body), "--ipcamframe\r\n");
    }

    std::vector<std::unique_ptr<Process>> viewers_;
    std::vector<int> sockets_;
    int livePort_ = 0;
};

TEST_F(LiveVideo, FfmpegDecodesTheLiveStream) {
    StartCamera();
    StartVidula();
    EXPECT_EQ(25, DecodedFrames(Url(), 25));
    EXPECT_TRUE(vidula_->WaitForLine("Accept a live video client(127.0.0.1:"));
}

// curl sees the response header with the camera's boundary and then the
// camera's parts, which decode.
TEST_F(LiveVideo, CurlGetsHeaderAndCameraParts) {
    StartCamera({"--boundary", "ipcamframe", "--boundary-form", "quoted"});
    StartVidula();
    std::string body = StartCurl("curl");
    ASSERT_TRUE(harness::WaitUntil([&] { return PartsIn(body) >= 20; }));
    viewers_.clear();
    EXPECT_EQ(kHeader, harness::ReadFile(root_.At("curl.head")));
    EXPECT_EQ(0u, harness::ReadFile(body).find(
                      "--ipcamframe\r\nContent-Type: image/jpeg\r\nContent-Length: "));
    EXPECT_GE(DecodedFrames(body, 0), 19);
}

// Five viewers, two of which never read: the recording keeps every frame the
// camera sent, and the three others watch.
TEST_F(LiveVideo, StalledViewersDoNotCostTheRecordingFrames) {
    const int frames = 150;
    StartCamera({"--frames", std::to_string(frames), "--once"});
    StartVidula();
    std::vector<std::string> bodies;
    for (int i = 0; i < 3; i++) bodies.push_back(StartCurl("viewer" + std::to_string(i)));
    RawViewer(kRequest, 4096);
    RawViewer(kRequest, 4096);
    ASSERT_TRUE(vidula_->WaitForCount("Accept a live video client(127.0.0.1:", 5));
    ASSERT_TRUE(vidula_->WaitForLine("Close and rename", std::chrono::seconds(60)))
        << vidula_->Output();
    EXPECT_EQ(frames, RecordedFrames(root_.At("rec")));
    for (const std::string &body : bodies) EXPECT_GT(PartsIn(body), frames / 2) << body;
    EXPECT_EQ(0, vidula_->Count("Error occur when sending"));
    EXPECT_TRUE(vidula_->Running());
}

// 1000 connections in a burst: the watching viewer goes on, the extra
// connections are refused, and once they are gone viewers get in again.
TEST_F(LiveVideo, BurstOfThousandConnections) {
    StartCamera();
    StartVidula();
    std::string body = StartCurl("steady");
    ASSERT_TRUE(harness::WaitUntil([&] { return PartsIn(body) >= 5; }));
    std::vector<int> burst;
    for (int i = 0; i < 1000; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        struct sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(livePort_));
        connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address));
        burst.push_back(fd);
        sockets_.push_back(fd);
    }
    // Connections beyond the listen backlog come in as their SYNs are retried.
    ASSERT_TRUE(vidula_->WaitForCount("the connection pool is full", 50, std::chrono::seconds(60)))
        << vidula_->Output();
    int before = PartsIn(body);
    EXPECT_TRUE(harness::WaitUntil([&] { return PartsIn(body) >= before + 25; }));
    for (int fd : burst) close(fd);
    sockets_.clear();
    EXPECT_EQ(10, DecodedFrames(Url(), 10));
    EXPECT_TRUE(vidula_->Running());
}

// Viewers that send garbage, split or huge requests, reset mid-frame, hang up
// or never read: vidula goes on recording and serving the steady viewer.
TEST_F(LiveVideo, MisbehavingViewersNeverStopTheServer) {
    StartCamera();
    StartVidula();
    std::string body = StartCurl("steady");
    ASSERT_TRUE(harness::WaitUntil([&] { return PartsIn(body) >= 5; }));
    close(RawViewer(std::string("\x01\x02garbage\xff\r\n\r\n", 15)));
    int split = RawViewer("GET /mjpg/video.mjpg HTTP/1.0\r\n");
    ASSERT_TRUE(vidula_->WaitForLine("request is not HTTP or incomplete"));
    send(split, "\r\n", 2, MSG_NOSIGNAL);
    ASSERT_TRUE(vidula_->WaitForLine("request is not HTTP\n"));
    RawViewer(std::string(kRequest) + std::string(1 << 20, 'x'));
    for (int i = 0; i < 40; i++) {
        int fd = RawViewer();
        char buffer[65536];
        size_t want = static_cast<size_t>(i) * 5000;
        size_t got = 0;
        while (got < want) {
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        if (i % 2 == 0) {
            struct linger hard = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        }
        close(fd);
        sockets_.pop_back();
    }
    int before = PartsIn(body);
    EXPECT_TRUE(harness::WaitUntil([&] { return PartsIn(body) >= before + 25; }));
    EXPECT_TRUE(vidula_->Running());
    EXPECT_EQ(0, vidula_->Count("Frame buffer is full"));
    EXPECT_EQ(0, vidula_->Count("All frame buffers are occupied"));
}

// A reload stops the server and closes its viewers; the main loop starts it
// again after the retry time (10 seconds; 1 here through the environment)
// on the same port.
TEST_F(LiveVideo, ReloadRestartsTheServer) {
    StartCamera();
    StartVidula({{"VIDULA_LV_RETRY_SECONDS", "1"}});
    int fd = RawViewer();
    char buffer[4096];
    ASSERT_GT(recv(fd, buffer, sizeof(buffer), 0), 0);
    vidula_->Signal(SIGHUP);
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is stopped."));
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
    }
    EXPECT_EQ(0, n);
    ASSERT_TRUE(vidula_->WaitForCount("Live video server is started successfully.", 2,
                                      std::chrono::seconds(30)));
    EXPECT_EQ(10, DecodedFrames(Url(), 10));
}

}  // namespace
