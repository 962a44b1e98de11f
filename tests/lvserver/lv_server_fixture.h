// lv_server_fixture.h -- a recorder context with the live video server and a
// hand-filled frame pool, driven pass by pass as the main loop drives it, and
// viewers that are real TCP sockets on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "lv_server.h"

namespace lvtest {

const char kBoundary[] = "myboundary";
const char kRequest[] = "GET /mjpg/video.mjpg HTTP/1.0\r\nUser-Agent: test\r\n\r\n";
// Large byte strings compared without printing them.
::testing::AssertionResult SameBytes(const std::string &want, const std::string &got);
// Image bytes of a frame that cannot fit the socket buffers between the
// server and a viewer that does not read (they grow to 4 MB on loopback).
const size_t kStallingImage = 6000000;
// The response header a viewer gets for kBoundary.
std::string ResponseHeader();

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// A socket's own port (the port of "(address:port)" in the messages).
int LocalPort(int fd);

class LvServerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // One main-loop pass over the listener and the viewers: events prepared,
    // poll() with timeoutMs, handlers called for the entries with events.
    // Returns poll()'s result.
    int Pass(int timeoutMs = 0);
    // Starts the server on a free port; fails the test when it does not start.
    void Start();
    // A connected socket to the server, accepted (or refused) by a pass; -1
    // on failure.
    int Connect();
    // Connect, send request, and run passes until the viewer streams and its
    // response header has been read. Returns the socket.
    int Viewer();
    // Closes a socket made by Connect or Viewer; reset: with an RST instead
    // of an orderly end.
    void CloseSocket(int fd, bool reset);
    // The viewer entry (2..6) whose peer is the local socket fd; -1 when none.
    int EntryOf(int fd);
    // Completes one frame in the pool as the camera parser would; returns the
    // bytes a viewer is sent for it (boundary line to the image's CRLF).
    std::string AddFrame(size_t imageBytes);
    // Runs passes and reads fd until count bytes came (or 20 s passed).
    std::string Receive(int fd, size_t count);
    // Runs passes until the viewer's socket reports end of stream or reset.
    bool WaitClosed(int fd);
    // Whether an error or event record containing text was logged.
    bool Logged(const std::string &text);
    // The sum of the reader counts of the pool's frames.
    int HeldFrames();

    RecorderContext ctx_;
    RecorderConfig config_;
    harness::TempRoot root_;
    std::unique_ptr<harness::QueueReader> queue_;
    std::vector<std::string> logs_;
    std::vector<int> sockets_;  // closed at the end
    int frameCount_ = 0;
};

}  // namespace lvtest
