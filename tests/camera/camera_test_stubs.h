// camera_test_stubs.h -- what the camera client's unit tests put in place of
// the recording session and the process's orderly stop.
#pragma once

#include <string>
#include <vector>

#include "recorder.h"

// Every image RecordFrame was given, in order, and how often RecordingBlocked ran.
struct CameraStubRecord {
    std::vector<std::string> images;
    int recordingBlockedCalls = 0;
};
extern CameraStubRecord gCameraStub;

// Shutdown() throws this instead of ending the test program.
struct ShutdownCalled {};

// A recorder context with its own configuration, as Init leaves it.
struct TestRecorder {
    RecorderConfig config;
    RecorderContext ctx;
    explicit TestRecorder(int bufferSize);
    ~TestRecorder();
};
