// Process tests: vidula records the camera stand-in over real TCP into dated
// AVI files, cut by size, at the top of the hour, by the idle time-out, by
// SIGHUP and by SIGTERM; a SIGKILL leaves an in-progress file with its
// frames. ffprobe and ffmpeg read every file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "avi_test_support.h"
#include "harness.h"
#include "logging.h"

namespace {

using harness::Process;
using Codes = std::vector<int>;

const char kFinished[] = "Average frame rate is ";

class VidulaRecording : public ::testing::Test, public harness::VidulaRig {
  protected:
    void SetUp() override {
        harness::BlockManagerWakeups();
        folder_ = root_.At("rec/");
        std::filesystem::create_directory(folder_);
        manager_ = std::make_unique<harness::QueueReader>(root_.Write("mgrq", ""));
    }
    void TearDown() override {
        if (HasFailure() && vidula_) fprintf(stderr, "vidula:\n%s", vidula_->Output().c_str());
        vidula_.reset();
        camera_.reset();
    }

    // The camera stand-in at 640x480, 25 frames per second, plus args.
    void StartCamera(const std::vector<std::string> &args = {}) {
        std::vector<std::string> options = {"--size", "640x480", "--fps", "25"};
        options.insert(options.end(), args.begin(), args.end());
        RunCamera(options);
        ASSERT_NE(0, port_) << camera_->Output();
    }

    void StartVidula(const std::map<std::string, std::string> &keys = {},
                     std::map<std::string, std::string> env = {}) {
        std::map<std::string, std::string> all = {
            {"ipcam_video_width", "640"},
            {"ipcam_video_height", "480"},
            {"ipcam_fps", "25"},
            {"nvr_record_folder", folder_},
            {"nvr_video_name_prefix", "cam"},
            {"nvr_manager_mq", root_.At("mgrq")},
        };
        for (const auto &k : keys) all[k.first] = k.second;
        env["TZ"] = "UTC";
        RunVidula(all, {}, env);
        ASSERT_TRUE(vidula_->WaitForLine("Execute TARSEL as pid (")) << vidula_->Output();
    }

    // Ends vidula with SIGTERM; its shutdown finishes the open file.
    void Stop() {
        vidula_->Signal(SIGTERM);
        EXPECT_EQ(1, vidula_->WaitExit());
    }

    std::vector<std::string> Files() {
        std::vector<std::string> files;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder_)) {
            if (e.is_regular_file()) files.push_back(e.path().string().substr(folder_.size()));
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // Chunks in the file being written (the one with the in-progress name).
    int ChunksInProgress() {
        for (const std::string &f : Files()) {
            if (f.size() > 5 && f.compare(f.size() - 5, 5, "_.avi") == 0) {
                int chunks = 0, withData = 0;
                avitest::CountChunks(harness::ReadFile(folder_ + f), &chunks, &withData);
                return withData;
            }
        }
        return 0;
    }

    // The session and camera codes queued so far; tarsel's storage reports
    // (used space after each check, failed measurements) are left out.
    Codes ManagerCodes() {
        Codes codes;
        int code, pid;
        std::string text;
        while (manager_->NextManager(&code, &pid, &text, std::chrono::milliseconds(200))) {
            if (code == NOTIFY_SESSION_START || code == NOTIFY_SESSION_STOP ||
                code == NOTIFY_CAMERA_FAILURE) {
                codes.push_back(code);
            }
        }
        return codes;
    }

    // A finished recording: its final name in its start date's folder, and
    // ffprobe reads MJPEG 640x480 at 25/1 with as many frames as the file
    // holds chunks (empty frames included), all JPEGs decoding. Returns the
    // chunks holding data.
    int ExpectFinished(const std::string &relative) {
        static const std::regex kName(
            R"((\d{4})/(\d\d)/(\d\d)/cam(\d{4})-(\d\d)-(\d\d)#\d\d-\d\d-\d\d_)"
            R"(\d{4}-\d\d-\d\d#\d\d-\d\d-\d\d\.avi)");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(relative, m, kName)) << relative;
        if (m.size() == 7) {
            EXPECT_EQ(m[1], m[4]);
            EXPECT_EQ(m[2], m[5]);
            EXPECT_EQ(m[3], m[6]);
        }
        std::string path = folder_ + relative;
        std::string file = harness::ReadFile(path);
        int chunks = 0, withData = 0;
        EXPECT_TRUE(avitest::CountChunks(file, &chunks, &withData)) << relative;
        std::vector<avitest::IndexEntry> index;
        EXPECT_TRUE(avitest::ReadIndex(file, &index)) << relative;
        EXPECT_EQ(static_cast<size_t>(chunks), index.size()) << relative;
        EXPECT_EQ("nmm-0.0.1", file.substr(228, 9)) << relative;
        EXPECT_EQ(file.size() - 8, avitest::Le32(file, 4)) << relative;
        avitest::Probe p = avitest::ProbeAvi(path);
        EXPECT_EQ(0, p.status) << relative << p.other;
        EXPECT_EQ("", p.other) << relative;
        EXPECT_EQ("mjpeg", p.codec) << relative;
        EXPECT_EQ(640, p.width) << relative;
        EXPECT_EQ(480, p.height) << relative;
        EXPECT_EQ("25/1", p.frameRate) << relative;
        EXPECT_EQ(std::to_string(chunks), p.frames) << relative;
        EXPECT_EQ(std::to_string(withData), p.packets) << relative;
        EXPECT_EQ("", avitest::DecodeErrors(path)) << relative;
        return withData;
    }

    // The start and end times in a final name.
    static std::string StartOf(const std::string &name) {
        size_t hash = name.find('#');
        return name.substr(hash - 10, 19);
    }
    static std::string EndOf(const std::string &name) { return name.substr(name.size() - 23, 19); }

    std::string folder_;
    std::unique_ptr<harness::QueueReader> manager_;
};

TEST_F(VidulaRecording, FilesCutBySizeAndTheLastBySigterm) {
    StartCamera();
    StartVidula({{"nvr_max_file_size", "600000"}});
    ASSERT_TRUE(vidula_->WaitForCount(kFinished, 3)) << vidula_->Output();
    Stop();
    std::vector<std::string> files = Files();
    ASSERT_GE(files.size(), 4u);
    for (size_t i = 0; i < files.size(); i++) {
        int frames = ExpectFinished(files[i]);
        EXPECT_GT(frames, 0);
        // The counted size (2056 + 8 + length per chunk) stays within the
        // limit; the file adds 16 bytes of index and at most a pad per chunk.
        int chunks = 0, withData = 0;
        std::string file = harness::ReadFile(folder_ + files[i]);
        avitest::CountChunks(file, &chunks, &withData);
        EXPECT_LE(file.size(), 600000u + 17u * chunks) << files[i];
        // Each file starts when the one before it ends.
        if (i > 0) {
            EXPECT_EQ(EndOf(files[i - 1]), StartOf(files[i]));
        }
    }
    EXPECT_EQ(static_cast<int>(files.size()) - 1, vidula_->Count("Warning: File size ("));
    EXPECT_EQ(static_cast<int>(files.size()), vidula_->Count(kFinished));
    // The manager hears of the session's start and of its stop, not of the cuts.
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_SESSION_STOP}), ManagerCodes());
}

std::string FakeTimeLibrary() {
    for (const char *path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                             "/usr/lib/arm-linux-gnueabihf/faketime/libfaketime.so.1",
                             "/usr/lib/faketime/libfaketime.so.1"}) {
        if (harness::FileExists(path)) return path;
    }
    return "";
}

// The clock starts 3 seconds before 14:00 (libfaketime): the first file is
// cut at the top of the hour although its interval runs to 14:09:57, and the
// next file starts at once since the camera is active.
TEST_F(VidulaRecording, FileCutAtTheTopOfTheHour) {
    std::string library = FakeTimeLibrary();
    ASSERT_NE("", library) << "libfaketime (Debian package faketime) is needed";
    StartCamera();
    const char *asan = getenv("ASAN_OPTIONS");
    StartVidula({{"nvr_change_file_interval", "10"}},
                {{"LD_PRELOAD", library},
                 {"FAKETIME", "@2026-12-06 13:59:57"},
                 {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}});
    ASSERT_TRUE(vidula_->WaitForCount(kFinished, 1)) << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] { return ChunksInProgress() >= 10; }));
    Stop();
    std::vector<std::string> files = Files();
    ASSERT_EQ(2u, files.size());
    EXPECT_TRUE(std::regex_match(
        files[0], std::regex("2026/12/06/cam2026-12-06#13-59-5\\d_2026-12-06#14-00-00.avi")))
        << files[0];
    EXPECT_TRUE(std::regex_match(
        files[1], std::regex("2026/12/06/cam2026-12-06#14-00-00_2026-12-06#14-00-\\d\\d.avi")))
        << files[1];
    EXPECT_GT(ExpectFinished(files[0]), 25);
    EXPECT_GE(ExpectFinished(files[1]), 10);
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_SESSION_STOP}), ManagerCodes());
}

// The camera stops sending after 40 frames but keeps the connection: after
// the idle time-out the file is finished and the camera disconnected.
TEST_F(VidulaRecording, IdleTimeoutFinishesTheFile) {
    StartCamera({"--fault", "stall", "--frames", "40"});
    StartVidula({{"nvr_connection_idle_timeout", "2"}});
    ASSERT_TRUE(vidula_->WaitForLine("Error: IP camera idle timeout")) << vidula_->Output();
    ASSERT_TRUE(vidula_->WaitForCount(kFinished, 1));
    Stop();
    std::vector<std::string> files = Files();
    ASSERT_GE(files.size(), 1u);
    EXPECT_EQ(40, ExpectFinished(files[0]));
    for (size_t i = 1; i < files.size(); i++) ExpectFinished(files[i]);
    Codes codes = ManagerCodes();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_CAMERA_FAILURE, NOTIFY_SESSION_STOP}),
              Codes(codes.begin(), codes.begin() + 3));
}

// A reload closes the recording with its final name; the camera is connected
// again and the next frame opens a new file.
TEST_F(VidulaRecording, SighupFinishesTheFileAndRecordingGoesOn) {
    StartCamera();
    StartVidula();
    ASSERT_TRUE(harness::WaitUntil([&] { return ChunksInProgress() >= 10; }));
    vidula_->Signal(SIGHUP);
    ASSERT_TRUE(vidula_->WaitForCount(kFinished, 1)) << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] { return ChunksInProgress() >= 10; })) << vidula_->Output();
    Stop();
    std::vector<std::string> files = Files();
    ASSERT_EQ(2u, files.size());
    EXPECT_GE(ExpectFinished(files[0]), 10);
    EXPECT_GE(ExpectFinished(files[1]), 10);
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_SESSION_STOP, NOTIFY_SESSION_START,
                     NOTIFY_SESSION_STOP}),
              ManagerCodes());
}

// A killed recorder leaves its file with the in-progress name and header and
// every frame written before the kill; ffmpeg reads them all and copies them
// into a finished file.
TEST_F(VidulaRecording, SigkillLeavesTheFramesInTheInProgressFile) {
    StartCamera();
    StartVidula();
    ASSERT_TRUE(harness::WaitUntil([&] { return ChunksInProgress() >= 30; }));
    vidula_->Signal(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, vidula_->WaitExit());
    std::vector<std::string> files = Files();
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(std::regex_match(
        files[0],
        std::regex("\\d{4}/\\d\\d/\\d\\d/cam\\d{4}-\\d\\d-\\d\\d#\\d\\d-\\d\\d-\\d\\d_.avi")))
        << files[0];
    std::string path = folder_ + files[0];
    std::string file = harness::ReadFile(path);
    EXPECT_EQ("j8l-0.0.1", file.substr(228, 9));
    EXPECT_EQ(4u, avitest::Le32(file, 4));     // RIFF size as written at the start
    EXPECT_EQ(0u, avitest::Le32(file, 48));    // no frame count yet
    EXPECT_EQ(4u, avitest::Le32(file, 2040));  // movi size
    int chunks = 0, withData = 0;
    ASSERT_TRUE(avitest::CountChunks(file, &chunks, &withData));
    EXPECT_GE(withData, 30);
    avitest::Probe p = avitest::ProbeAvi(path);
    EXPECT_EQ("mjpeg", p.codec);
    EXPECT_EQ(std::to_string(withData), p.packets);
    EXPECT_EQ("", avitest::DecodeErrors(path));

    std::string repaired = root_.At("repaired.avi");
    harness::RunResult r =
        harness::Run({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-c", "copy", repaired});
    ASSERT_EQ(0, r.status) << r.output;
    avitest::Probe q = avitest::ProbeAvi(repaired);
    EXPECT_EQ(std::to_string(withData), q.packets);
    EXPECT_EQ("25/1", q.frameRate);
    EXPECT_EQ("", avitest::DecodeErrors(repaired));
}

}  // namespace
