// Tests of the recording sessions with now set by the test: names and
// folders, empty frames, the size and time rules, the stop and rename, the
// idle time-out, the storage request and the manager codes. ffprobe reads
// every file the sessions finish.
#include "recording.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "avi_test_support.h"
#include "avi_writer.h"
#include "logging.h"
#include "recording_fixture.h"

namespace {

using Codes = std::vector<int>;

// 2026-12-06 14:05:00 UTC, the start of most sessions here.
const time_t kStart = 1796565900;

TEST(CountMissingFrames, Cases) {
    struct Case {
        int32_t slots;
        long seconds, micro;  // now - start
        int32_t fps;
        int32_t want;
    } cases[] = {
        {10, 1, 500000, 10, 4},  // 15 due: four empty frames, the frame takes the fifth
        {10, 1, 100000, 10, 0},  // 11 due: one short, the frame itself fills it
        {10, 1, 200000, 10, 1},  // 12 due
        {20, 1, 0, 10, 0},       // ahead of the rate
        {0, 0, 0, 25, 0},        // the first frame
        {0, 2, 0, 25, 49},
        {3, 0, 999999, 10, 5},              // (10 x 999999) / 1000000 = 9
        {0, -5, 0, 10, 0},                  // the clock went back
        {0, 400000000, 0, 100, INT32_MAX},  // a far jump saturates, never wraps
    };
    for (const Case &c : cases) {
        struct timeval start = {kStart, 300000};
        struct timeval now = {kStart + c.seconds, 300000 + c.micro};
        if (now.tv_usec >= 1000000) {
            now.tv_sec += 1;
            now.tv_usec -= 1000000;
        }
        EXPECT_EQ(c.want, CountMissingFrames(c.slots, start, now, c.fps))
            << c.slots << " " << c.seconds << "." << c.micro << " fps " << c.fps;
    }
}

TEST_F(RecordingTest, NameAndDatedFolders) {
    char name[FILE_NAME_SIZE];
    Capture([&] { ASSERT_EQ(0, GenerateStartAviFileName(name, kStart, &config_)); });
    EXPECT_EQ(RecPath("2026/12/06/cam2026-12-06#14-05-00_.avi"), name);
    struct stat st;
    ASSERT_EQ(0, stat(RecPath("2026/12/06").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(std::string::npos, out_.find("Create folder: " + RecPath("2026")));
    EXPECT_NE(std::string::npos, out_.find("Create folder: " + RecPath("2026/12/06")));

    // The first file of a new year makes three folders; existing ones are kept.
    out_.clear();
    Capture(
        [&] { ASSERT_EQ(0, GenerateStartAviFileName(name, At(2027, 1, 1, 0, 0, 7), &config_)); });
    EXPECT_EQ(RecPath("2027/01/01/cam2027-01-01#00-00-07_.avi"), name);
    EXPECT_EQ(3, std::count(out_.begin(), out_.end(), '\n')) << out_;
    out_.clear();
    Capture(
        [&] { ASSERT_EQ(0, GenerateStartAviFileName(name, At(2027, 1, 1, 9, 0, 0), &config_)); });
    EXPECT_EQ("", out_);
}

TEST_F(RecordingTest, NameFailures) {
    char name[FILE_NAME_SIZE];
    // A file where the year folder should be.
    root_.Write("rec/2026", "not a folder");
    Capture([&] { EXPECT_EQ(1, GenerateStartAviFileName(name, kStart, &config_)); });
    // No record folder.
    snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s",
             root_.At("missing/").c_str());
    snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s",
             config_.nvr_record_folder);
    Capture([&] { EXPECT_EQ(1, GenerateStartAviFileName(name, kStart, &config_)); });
    EXPECT_EQ((std::vector<std::string>{"Error: Fail to access recording root folder"}),
              LogTexts());
    // A folder that leaves no room for the final name in the 1024-byte buffer.
    std::string longFolder = folder_ + std::string(250, 'f') + "/" + std::string(250, 'g') + "/" +
                             std::string(250, 'h') + "/" + std::string(250 - folder_.size(), 'i') +
                             "/";
    snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s",
             longFolder.c_str());
    snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s",
             config_.nvr_record_folder);
    Capture([&] { EXPECT_EQ(1, GenerateStartAviFileName(name, kStart, &config_)); });
    EXPECT_EQ(1u, LogTexts().size());
}

TEST(BuildFinalAviFileName, EndTimeReplacesTheEnding) {
    struct tm end;
    memset(&end, 0, sizeof(end));
    end.tm_year = 2026 - 1900, end.tm_mon = 11, end.tm_mday = 6;
    end.tm_hour = 14, end.tm_min = 10, end.tm_sec = 0;
    char out[FILE_NAME_SIZE];
    ASSERT_EQ(0, BuildFinalAviFileName(out, sizeof(out),
                                       "/rec/2026/12/06/cam2026-12-06#14-05-00_.avi", &end));
    EXPECT_STREQ("/rec/2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-10-00.avi", out);
    // Only the ending counts: "_.avi" inside the folder is left alone.
    ASSERT_EQ(0, BuildFinalAviFileName(out, sizeof(out), "/r_.avi/x/c#14-05-00_.avi", &end));
    EXPECT_STREQ("/r_.avi/x/c#14-05-00_2026-12-06#14-10-00.avi", out);
    EXPECT_EQ(1, BuildFinalAviFileName(out, sizeof(out), "/rec/finished.avi", &end));
    char small[20];
    EXPECT_EQ(1, BuildFinalAviFileName(small, sizeof(small), "/rec/c_.avi", &end));
}

TEST_F(RecordingTest, FirstFrameStartsASessionAndTheStopRenamesIt) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 1);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    EXPECT_EQ(Codes{NOTIFY_SESSION_START}, ManagerCodes());
    std::string inProgress = "2026/12/06/cam2026-12-06#14-05-00_.avi";
    EXPECT_EQ(std::vector<std::string>{inProgress}, Recordings());
    EXPECT_EQ(RecPath(inProgress), ctx_.session.fileName);
    EXPECT_EQ(2056 + 8 + static_cast<int64_t>(jpeg.size()), ctx_.session.fileSize);
    EXPECT_EQ(1, ctx_.session.frameSlots);
    EXPECT_EQ(1, ctx_.session.framesWritten);
    EXPECT_EQ(kStart, ctx_.session.sessionStart.tv_sec);
    EXPECT_EQ(kStart, ctx_.frameBuffer.lastFrameTime.tv_sec);
    EXPECT_NE(std::string::npos, out_.find("Start to record AVI file: " + RecPath(inProgress)));

    for (int i = 1; i < 10; i++) ASSERT_EQ(0, Deliver(jpeg, kStart + i / 2, (i % 2) * 500000));
    EXPECT_EQ(Codes{}, ManagerCodes());
    SetNow(kStart + 4, 0);
    LogTexts();
    Capture([&] { RecordingBlocked(&ctx_); });
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_EQ(Codes{NOTIFY_SESSION_STOP}, ManagerCodes());
    std::string final = "2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-05-04.avi";
    EXPECT_EQ(std::vector<std::string>{final}, Recordings());
    EXPECT_EQ(RecPath(final), ctx_.session.fileName);
    EXPECT_EQ(std::vector<std::string>{"Average frame rate is 2.5/fps. Close and rename " +
                                       RecPath(inProgress) + " to " + RecPath(final) + "."},
              LogTexts());
    // Frames at 0, 0.5, 1.0 ... 4.5 s at 10 fps: empty frames fill the gaps.
    // A frame at t seconds takes slot 10 t - 1 (the first takes slot 0).
    EXPECT_EQ(45, ctx_.session.frameSlots);
    ExpectRecording(final, 45, 10);
    std::vector<long> times = avitest::PacketTimes(RecPath(final));
    EXPECT_EQ((std::vector<long>{0, 4, 9, 14, 19, 24, 29, 34, 39, 44}), times);
}

TEST_F(RecordingTest, EmptyFramesCatchUpWithTheClock) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 2);
    for (int i = 0; i < 10; i++) ASSERT_EQ(0, Deliver(jpeg, kStart, i * 100000));
    EXPECT_EQ(10, ctx_.session.frameSlots);
    ASSERT_EQ(0, Deliver(jpeg, kStart + 1, 500000));
    EXPECT_EQ(15, ctx_.session.frameSlots);
    EXPECT_EQ(11, ctx_.session.framesWritten);
    EXPECT_EQ(2056 + 11 * (8 + static_cast<int64_t>(jpeg.size())) + 4 * 8, ctx_.session.fileSize);
    EXPECT_NE(std::string::npos, out_.find("Insert 4 zero frame"));
    SetNow(kStart + 2, 0);
    Capture([&] { StopAviRecording(&ctx_); });
    ExpectRecording(Recordings().at(0), 15, 11);
    // The finished file is longer than the count by the index (and no pads).
    struct stat st;
    ASSERT_EQ(0, stat(ctx_.session.fileName, &st));
    EXPECT_EQ(ctx_.session.fileSize + 15 * 16 + (jpeg.size() % 2) * 11, st.st_size);
}

TEST_F(RecordingTest, SizeRuleStartsTheNextFileBeforeTheFrameThatWouldPassIt) {
    config_.nvr_max_file_size = 1048576;
    std::string frame = avitest::PadJpeg(avitest::MakeJpeg(640, 480, 3), 100000);
    for (int i = 0; i < 10; i++) ASSERT_EQ(0, Deliver(frame, kStart, i * 100000));
    EXPECT_EQ(1002136, ctx_.session.fileSize);
    EXPECT_EQ(Codes{NOTIFY_SESSION_START}, ManagerCodes());
    ASSERT_EQ(0, Deliver(frame, kStart + 1, 0));
    EXPECT_NE(std::string::npos, out_.find("Warning: File size (1002136) reaches limit"));
    EXPECT_EQ(Codes{}, ManagerCodes());  // a change by size tells the manager nothing
    EXPECT_EQ(2056 + 100008, ctx_.session.fileSize);
    EXPECT_EQ(1, ctx_.session.framesWritten);
    SetNow(kStart + 1, 500000);
    Capture([&] { RecordingBlocked(&ctx_); });
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ("2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi", files[0]);
    EXPECT_EQ("2026/12/06/cam2026-12-06#14-05-01_2026-12-06#14-05-01.avi", files[1]);
    ExpectRecording(files[0], 10, 10);
    ExpectRecording(files[1], 1, 1);
}

TEST_F(RecordingTest, SizeRuleNeverCutsTwiceInOneSecond) {
    config_.nvr_max_file_size = 1;  // every file is over the limit at once
    std::string jpeg = avitest::MakeJpeg(640, 480, 4);
    for (int i = 0; i < 5; i++) ASSERT_EQ(0, Deliver(jpeg, kStart, i * 100000));
    for (int i = 0; i < 5; i++) ASSERT_EQ(0, Deliver(jpeg, kStart + 1, i * 100000));
    for (int i = 0; i < 5; i++) ASSERT_EQ(0, Deliver(jpeg, kStart + 2, i * 100000));
    SetNow(kStart + 3, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    // One file per second, each with its own name: no rename replaced another.
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(3u, files.size());
    EXPECT_EQ("2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi", files[0]);
    EXPECT_EQ("2026/12/06/cam2026-12-06#14-05-01_2026-12-06#14-05-02.avi", files[1]);
    EXPECT_EQ("2026/12/06/cam2026-12-06#14-05-02_2026-12-06#14-05-03.avi", files[2]);
    ExpectRecording(files[0], 5, 5);
    ExpectRecording(files[1], 5, 5);
    ExpectRecording(files[2], 5, 5);
}

TEST_F(RecordingTest, ChangeTimeNeverPassesTheTopOfTheHour) {
    struct Case {
        time_t start;
        long micro;
        int interval;
        time_t change;
    } cases[] = {
        {At(2026, 12, 6, 10, 50, 0), 0, 15, At(2026, 12, 6, 11, 0, 0)},
        {At(2026, 12, 6, 11, 0, 0), 0, 60, At(2026, 12, 6, 12, 0, 0)},
        {At(2026, 12, 6, 10, 0, 0), 0, 15, At(2026, 12, 6, 10, 15, 0)},
        {At(2026, 12, 6, 10, 44, 59), 0, 15, At(2026, 12, 6, 10, 59, 59)},
        {At(2026, 12, 6, 10, 59, 59), 700000, 1, At(2026, 12, 6, 11, 0, 0)},
        {At(2026, 12, 31, 23, 30, 0), 0, 60, At(2027, 1, 1, 0, 0, 0)},
    };
    std::string jpeg = avitest::MakeJpeg(640, 480, 5);
    for (const Case &c : cases) {
        config_.nvr_change_file_interval = c.interval;
        ASSERT_EQ(0, Deliver(jpeg, c.start, c.micro));
        EXPECT_EQ(c.change, ctx_.session.changeFileTime.tv_sec) << c.start << " + " << c.interval;
        SetNow(c.change, 0);
        Capture([&] { RecordingBlocked(&ctx_); });
        ExpectRecording(ctx_.session.fileName + folder_.size(), 1, 1);
    }
}

TEST_F(RecordingTest, FileChangeStartsTheNextFileWhileTheCameraIsActive) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 6);
    ASSERT_EQ(0, Deliver(jpeg, At(2026, 12, 6, 10, 59, 58), 0));
    ASSERT_EQ(0, Deliver(jpeg, At(2026, 12, 6, 10, 59, 58), 100000));
    ManagerCodes();
    SetNow(At(2026, 12, 6, 11, 0, 0), 200000);  // the last frame is 2.1 s old
    Capture([&] { EXPECT_EQ(0, ChangeRecordingFile(&ctx_)); });
    ASSERT_NE(nullptr, ctx_.session.avi);
    EXPECT_EQ(Codes{}, ManagerCodes());
    EXPECT_EQ(RecPath("2026/12/06/cam2026-12-06#11-00-00_.avi"), ctx_.session.fileName);
    EXPECT_EQ(At(2026, 12, 6, 11, 15, 0), ctx_.session.changeFileTime.tv_sec);
    ASSERT_EQ(0, Deliver(jpeg, At(2026, 12, 6, 11, 0, 0), 300000));
    EXPECT_EQ(1, ctx_.session.frameSlots);  // timed from the new file's start
    SetNow(At(2026, 12, 6, 11, 0, 1), 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ("2026/12/06/cam2026-12-06#10-59-58_2026-12-06#11-00-00.avi", files[0]);
    EXPECT_EQ("2026/12/06/cam2026-12-06#11-00-00_2026-12-06#11-00-01.avi", files[1]);
    ExpectRecording(files[0], 2, 2);
    ExpectRecording(files[1], 1, 1);
}

TEST_F(RecordingTest, FileChangeAfterTheCameraWentQuietWaitsForTheNextFrame) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 7);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    ManagerCodes();
    SetNow(kStart + 3, 0);  // 3 seconds without a frame
    Capture([&] { EXPECT_EQ(0, ChangeRecordingFile(&ctx_)); });
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_NE(std::string::npos,
              out_.find("Warning: IP camera is not active for more than 2 seconds now"));
    EXPECT_EQ(Codes{}, ManagerCodes());
    ASSERT_EQ(0, Deliver(jpeg, kStart + 5, 0));
    EXPECT_EQ(Codes{NOTIFY_SESSION_START}, ManagerCodes());
    SetNow(kStart + 6, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(2u, files.size());
    ExpectRecording(files[0], 1, 1);
    ExpectRecording(files[1], 1, 1);
}

TEST_F(RecordingTest, IdleTimeoutStopsAndDisconnects) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 8);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[1]);
    ctx_.connection[0].fd = fds[0];
    ctx_.camera.cameraState = 8;
    ManagerCodes();
    LogTexts();
    SetNow(kStart + 11, 0);
    Capture([&] { HandleIdleTimeout(&ctx_); });
    EXPECT_EQ((Codes{NOTIFY_CAMERA_FAILURE, NOTIFY_SESSION_STOP}), ManagerCodes());
    std::vector<std::string> logs = LogTexts();
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ("Error: IP camera idle timeout", logs[0]);
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_EQ(-1, ctx_.connection[0].fd);
    EXPECT_EQ(0, ctx_.camera.cameraState);
    EXPECT_EQ(0, ctx_.frameBuffer.lastFrameTime.tv_sec);
    ExpectRecording(Recordings().at(0), 1, 1);
}

TEST_F(RecordingTest, StopCodeOnlyWhenARecordingStopped) {
    Capture([&] { RecordingBlocked(&ctx_); });
    EXPECT_EQ(Codes{}, ManagerCodes());
    std::string jpeg = avitest::MakeJpeg(640, 480, 9);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    ctx_.recordSchedule.enabled = 0;  // recording off: the operations are inert
    Capture([&] { RecordingBlocked(&ctx_); });
    EXPECT_NE(nullptr, ctx_.session.avi);
    ASSERT_EQ(0, Deliver(jpeg, kStart + 1, 0));
    EXPECT_EQ(1, ctx_.session.framesWritten);
    EXPECT_EQ(kStart + 1, ctx_.frameBuffer.lastFrameTime.tv_sec);
    ctx_.recordSchedule.enabled = 1;
    SetNow(kStart + 2, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_SESSION_STOP}), ManagerCodes());
    ExpectRecording(Recordings().at(0), 1, 1);
}

int gStorageRequests = 0;
void CountStorageRequest(int) { gStorageRequests++; }

TEST_F(RecordingTest, EveryFileStartAsksForAStorageCheck) {
    signal(SIGUSR1, CountStorageRequest);
    ctx_.diskManagerPid = getpid();
    config_.nvr_max_file_size = 1;
    std::string jpeg = avitest::MakeJpeg(640, 480, 10);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    EXPECT_EQ(1, gStorageRequests);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 500000));  // same second: no new file
    EXPECT_EQ(1, gStorageRequests);
    ASSERT_EQ(0, Deliver(jpeg, kStart + 1, 0));  // by size
    EXPECT_EQ(2, gStorageRequests);
    EXPECT_NE(std::string::npos, out_.find("Send signal 10 to pid " + std::to_string(getpid())));

    // While tarsel reports no space, frames are dropped and the storage is
    // asked again only every 5 seconds, and at once when tarsel clears the
    // block.
    SetNow(kStart + 2, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    recordingBlocked = 1;
    EXPECT_EQ(1, Deliver(jpeg, kStart + 3, 0));
    EXPECT_EQ(1, Deliver(jpeg, kStart + 3, 500000));
    EXPECT_EQ(1, Deliver(jpeg, kStart + 7, 0));
    EXPECT_EQ(3, gStorageRequests);
    EXPECT_EQ(1, Deliver(jpeg, kStart + 8, 0));
    EXPECT_EQ(4, gStorageRequests);
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_EQ(kStart + 8, ctx_.frameBuffer.lastFrameTime.tv_sec);  // the camera is alive
    recordingBlocked = 0;
    ASSERT_EQ(0, Deliver(jpeg, kStart + 9, 0));
    EXPECT_EQ(5, gStorageRequests);
    EXPECT_EQ((Codes{NOTIFY_SESSION_START, NOTIFY_SESSION_STOP, NOTIFY_SESSION_START}),
              ManagerCodes());
    SetNow(kStart + 10, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(3u, files.size());
    ExpectRecording(files[0], 5, 2);
    ExpectRecording(files[1], 1, 1);
    ExpectRecording(files[2], 1, 1);
}

TEST(RequestStorageCheck, NoDiskManagerNoSignal) {
    RecorderConfig config;
    memset(&config, 0, sizeof(config));
    // A pid of -1 would signal every process this user may signal.
    EXPECT_EQ(1, RequestStorageCheck(&config, -1));
    EXPECT_EQ(1, RequestStorageCheck(&config, 0));
}

TEST_F(RecordingTest, MissingRecordFolderDropsTheFrame) {
    snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s",
             root_.At("gone/").c_str());
    snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s",
             config_.nvr_record_folder);
    std::string jpeg = avitest::MakeJpeg(640, 480, 11);
    EXPECT_EQ(1, Deliver(jpeg, kStart, 0));
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_EQ((std::vector<std::string>{"Error: Fail to access recording root folder",
                                        "Error: Fail to generate AVI file name"}),
              LogTexts());
    EXPECT_EQ(Codes{}, ManagerCodes());
}

TEST_F(RecordingTest, QuotesInTheFolderReachMvIntact) {
    std::string odd = root_.At("it's rec $HOME/");
    ASSERT_EQ(0, mkdir(odd.c_str(), 0755));
    snprintf(config_.nvr_record_folder, sizeof(config_.nvr_record_folder), "%s", odd.c_str());
    snprintf(config_.recordFolderPrefix, sizeof(config_.recordFolderPrefix), "%s", odd.c_str());
    folder_ = odd;
    std::string jpeg = avitest::MakeJpeg(640, 480, 12);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    SetNow(kStart + 1, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    EXPECT_EQ(std::vector<std::string>{"2026/12/06/cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi"},
              Recordings());
    ExpectRecording(Recordings().at(0), 1, 1);
}

TEST_F(RecordingTest, FailedRenameKeepsTheInProgressName) {
    // An mv that fails comes first on PATH.
    std::string bin = root_.At("bin/");
    root_.Write("bin/mv", "#!/bin/sh\necho 'mv: cannot move' >&2\nexit 1\n");
    chmod((bin + "mv").c_str(), 0755);
    std::string path = getenv("PATH");
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    std::string jpeg = avitest::MakeJpeg(640, 480, 13);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    std::string inProgress = ctx_.session.fileName;
    SetNow(kStart + 1, 0);
    LogTexts();
    Capture([&] { RecordingBlocked(&ctx_); });
    setenv("PATH", path.c_str(), 1);
    std::vector<std::string> logs = LogTexts();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ("Error: Fail to rename " + inProgress + " to " + RecPath("2026/12/06/") +
                  "cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi",
              logs[0]);
    EXPECT_EQ(inProgress, ctx_.session.fileName);
    // Finished all the same: index and final header.
    ExpectRecording("2026/12/06/cam2026-12-06#14-05-00_.avi", 1, 1);
    EXPECT_EQ("nmm-0.0.1", harness::ReadFile(inProgress).substr(228, 9));
}

TEST_F(RecordingTest, FailedFrameWriteIsReportedOnceAndLeavesNoSlot) {
    std::string jpeg = avitest::MakeJpeg(640, 480, 14);
    ASSERT_EQ(0, Deliver(jpeg, kStart, 0));
    LogTexts();
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved, limit;
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = saved;
    limit.rlim_cur = ctx_.session.avi->dataEnd + 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(1, Deliver(jpeg, kStart, 100000));
    EXPECT_EQ(1, Deliver(jpeg, kStart, 200000));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::vector<std::string> logs = LogTexts();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ("Error: Fail to write frame to " + std::string(ctx_.session.fileName) +
                  ": aviwriter - Error writing to AVI file - File too large",
              logs[0]);
    EXPECT_EQ(1, ctx_.session.frameSlots);
    EXPECT_EQ(1, ctx_.session.framesWritten);
    // The next frame fills the lost slot with an empty frame.
    ASSERT_EQ(0, Deliver(jpeg, kStart, 300000));
    EXPECT_EQ(3, ctx_.session.frameSlots);
    SetNow(kStart + 1, 0);
    Capture([&] { RecordingBlocked(&ctx_); });
    ExpectRecording(Recordings().at(0), 3, 2);
}

TEST_F(RecordingTest, NoFrameInTheReceiveBufferIsRefused) {
    ctx_.frameBuffer.frames[ctx_.frameBuffer.receiveIndex].frameSize = -1;
    EXPECT_EQ(1, RecordFrame(&ctx_));
    ctx_.frameBuffer.frames[ctx_.frameBuffer.receiveIndex].frameSize = 100;
    ctx_.frameBuffer.parsePos = 10;
    ctx_.frameBuffer.fillLevel = 109;  // one byte short
    EXPECT_EQ(1, RecordFrame(&ctx_));
    ctx_.frameBuffer.receiveIndex = -1;
    EXPECT_EQ(1, RecordFrame(&ctx_));
    EXPECT_EQ(nullptr, ctx_.session.avi);
    EXPECT_EQ(0u, Recordings().size());
}

}  // namespace
