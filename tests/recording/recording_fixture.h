// recording_fixture.h -- a RecorderContext with a frame pool, a record folder
// and manager and log queues, for the unit tests of the recording sessions.
// Frames are put into the pool's receive buffer as the stream parser leaves
// them and RecordFrame is called with now set by the test.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "recorder.h"

class RecordingTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Seconds since the epoch of a UTC date (the tests run with TZ=UTC).
    static time_t At(int year, int month, int day, int hour, int minute, int second);
    void SetNow(time_t seconds, long micro = 0);

    // Puts a part holding jpeg into the receive buffer, calls RecordFrame at
    // the given time and completes the frame as the parser does. Returns the
    // result of RecordFrame; console lines are appended to out_.
    int Deliver(const std::string &jpeg, time_t seconds, long micro = 0);
    // Runs f with standard output appended to out_.
    void Capture(const std::function<void()> &f);

    // The manager codes and log texts queued since the last call.
    std::vector<int> ManagerCodes();
    std::vector<std::string> LogTexts();

    // Paths of the .avi files under the record folder, relative to it, sorted.
    std::vector<std::string> Recordings();
    std::string RecPath(const std::string &relative) { return folder_ + relative; }

    // ffprobe reads the file as MJPEG at the configured size and rate with
    // slots frames in its headers and frames chunks holding data (JPEGs that
    // ffmpeg decodes).
    void ExpectRecording(const std::string &relative, int slots, int frames);

    harness::TempRoot root_;
    std::string folder_;  // the record folder, ends with "/"
    RecorderConfig config_;
    RecorderContext ctx_;
    std::string out_;
    std::unique_ptr<harness::QueueReader> manager_;
    std::unique_ptr<harness::QueueReader> log_;
};
