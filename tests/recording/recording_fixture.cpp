// recording_fixture.cpp -- the context, pool, folder and queues of the
// recording session tests.
#include "recording_fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "avi_test_support.h"
#include "avi_writer.h"
#include "logging.h"
#include "recording.h"

void RecordingTest::SetUp() {
    setenv("TZ", "UTC", 1);
    tzset();
    InitLogging("VIDULA");
    gLogging.verbose = 1;
    std::string managerKey = root_.Write("manager.key", "\n");
    std::string logKey = root_.Write("log.key", "\n");
    manager_ = std::make_unique<harness::QueueReader>(managerKey);
    log_ = std::make_unique<harness::QueueReader>(logKey);
    Capture([&] { OpenMessageQueues(logKey.c_str(), managerKey.c_str(), 1); });

    folder_ = root_.At("rec/");
    ASSERT_EQ(0, mkdir(folder_.c_str(), 0755));
    memset(&config_, 0, sizeof(config_));
    config_.ipcam_video_width = 640;
    config_.ipcam_video_height = 480;
    config_.ipcam_fps = 10;
    snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s", folder_.c_str());
    snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s", folder_.c_str());
    snprintf(config_.nvr_video_name_prefix, sizeof(config_.nvr_video_name_prefix), "cam");
    config_.nvr_change_file_interval = 15;
    config_.nvr_max_file_size = 1073741824;

    memset(&ctx_, 0, sizeof(ctx_));
    ctx_.pConfig = &config_;
    ctx_.diskManagerPid = -1;
    ctx_.cameraSchedule.enabled = 1;
    ctx_.recordSchedule.enabled = 1;
    for (struct pollfd &entry : ctx_.connection) entry.fd = -1;
    ctx_.lvServerIndex = 1;
    ASSERT_EQ(0, InitFrameBuffer(&ctx_.frameBuffer, 640 * 480 * 3));
    ASSERT_EQ(0, GetNextReceiveFrameBuffer(&ctx_.frameBuffer, -1));
    recordingBlocked = 0;
}

void RecordingTest::TearDown() {
    if (ctx_.session.avi != nullptr) AVI_close_file(ctx_.session.avi);
    FreeFrameBuffer(&ctx_.frameBuffer);
    if (HasFailure()) fprintf(stderr, "console output:\n%s", out_.c_str());
}

time_t RecordingTest::At(int year, int month, int day, int hour, int minute, int second) {
    struct tm t;
    memset(&t, 0, sizeof(t));
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

void RecordingTest::SetNow(time_t seconds, long micro) {
    ctx_.now.tv_sec = seconds;
    ctx_.now.tv_usec = micro;
}

void RecordingTest::Capture(const std::function<void()> &f) {
    fflush(stdout);
    FILE *sink = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    rewind(sink);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), sink)) > 0) out_.append(buf, n);
    fclose(sink);
}

int RecordingTest::Deliver(const std::string &jpeg, time_t seconds, long micro) {
    SetNow(seconds, micro);
    FrameBufferPool *pFB = &ctx_.frameBuffer;
    int index = pFB->receiveIndex;
    FrameRecord &frame = pFB->frames[index];
    std::string head = "--ipcamframe\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(jpeg.size()) + "\r\n\r\n";
    memcpy(frame.data, head.data(), head.size());
    memcpy(frame.data + head.size(), jpeg.data(), jpeg.size());
    frame.partStart = 0;
    frame.frameSize = static_cast<int32_t>(jpeg.size());
    pFB->parsePos = static_cast<int32_t>(head.size());
    pFB->fillLevel = static_cast<int32_t>(head.size() + jpeg.size());
    int result = -1;
    Capture([&] { result = RecordFrame(&ctx_); });
    FinishReceivingFrame(pFB);
    GetNextReceiveFrameBuffer(pFB, index);
    return result;
}

std::vector<int> RecordingTest::ManagerCodes() {
    std::vector<int> codes;
    int code, pid;
    std::string text;
    while (manager_->NextManager(&code, &pid, &text, std::chrono::milliseconds(0))) {
        codes.push_back(code);
    }
    return codes;
}

std::vector<std::string> RecordingTest::LogTexts() {
    std::vector<std::string> texts;
    int code;
    std::string text;
    while (log_->NextLog(&code, &text, std::chrono::milliseconds(0))) {
        // "VIDULA-pid", two TABs, the message.
        size_t tab = text.find("\t\t");
        texts.push_back(tab == std::string::npos ? text : text.substr(tab + 2));
    }
    return texts;
}

std::vector<std::string> RecordingTest::Recordings() {
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder_)) {
        if (entry.path().extension() == ".avi") {
            files.push_back(entry.path().string().substr(folder_.size()));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

void RecordingTest::ExpectRecording(const std::string &relative, int slots, int frames) {
    std::string path = RecPath(relative);
    avitest::Probe p = avitest::ProbeAvi(path);
    EXPECT_EQ(0, p.status) << relative << " " << p.other;
    EXPECT_EQ("", p.other) << relative;
    EXPECT_EQ("mjpeg", p.codec) << relative;
    EXPECT_EQ(config_.ipcam_video_width, p.width) << relative;
    EXPECT_EQ(config_.ipcam_video_height, p.height) << relative;
    EXPECT_EQ(std::to_string(config_.ipcam_fps) + "/1", p.frameRate) << relative;
    EXPECT_EQ(slots == 0 ? "N/A" : std::to_string(slots), p.frames) << relative;
    if (frames > 0) {
        EXPECT_EQ(std::to_string(frames), p.packets) << relative;
        EXPECT_EQ("", avitest::DecodeErrors(path)) << relative;
    }
}
