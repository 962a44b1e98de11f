// Unit tests of the live video server: requests, refusals, the frames a
// viewer gets, frames held and given back, and viewers that fail. Viewers are
// real TCP sockets; the pool is filled as the camera parser fills it.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "logging.h"
#include "lv_server_fixture.h"

namespace lvtest {
namespace {

using LvServer = LvServerTest;

std::string ClientName(int fd) { return "(127.0.0.1:" + std::to_string(LocalPort(fd)) + ")"; }

TEST_F(LvServer, RequestsAreCheckedInOneRead) {
    Start();
    const struct {
        std::string request;
        std::string error;  // empty: accepted
    } cases[] = {
        {"GET /mjpg/video.mjpg HTTP/1.0\r\n\r\n", ""},
        {"GET /mjpg/video.mjpg HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", ""},
        {"GET /axis-cgi/mjpg/video.cgi?resolution=640x480&fps=5 HTTP/1.0\r\n\r\n", ""},
        {"GET /index.html HTTP/1.0\r\n\r\n", "Get invalid live video client%s request"},
        {"GET /axis-cgi/mjpg/video.cgi HTTP/1.0\r\n\r\n",
         "Get invalid live video client%s request"},
        {"POST /mjpg/video.mjpg HTTP/1.0\r\n\r\n", "Get invalid live video client%s request"},
        {"GET /mjpg/video.mjpg\r\n\r\n", "Live video client%s request is not HTTP"},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
         "Live video client%s request is not HTTP"},
        {"GET /mjpg/video.mjpg HTTP/1.0\r\nHost: x\r\n",
         "Live video client%s request is not HTTP or incomplete"},
        {std::string("GET /mjpg/video.mjpg\0 HTTP/1.0\r\n\r\n", 34), ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        int fd = Connect();
        ASSERT_NE(-1, fd);
        send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL);
        if (c.error.empty()) {
            EXPECT_EQ(ResponseHeader(), Receive(fd, ResponseHeader().size()));
            EXPECT_EQ(LV_STATE_STREAMING, ctx_.lvServer.lvClient[EntryOf(fd) - 2].state);
        } else {
            char message[256];
            snprintf(message, sizeof(message), c.error.c_str(), ClientName(fd).c_str());
            EXPECT_TRUE(WaitClosed(fd));
            EXPECT_TRUE(Logged(std::string("Error: ") + message));
            EXPECT_EQ(-1, EntryOf(fd));
        }
        CloseSocket(fd, false);
        StopLvServer(&ctx_);
        ASSERT_EQ(0, StartLvServer(&ctx_));
    }
}

// The head must come in one read: a first segment without the empty line is
// refused before the rest arrives.
TEST_F(LvServer, RequestHeadSplitOverSegmentsIsRefused) {
    Start();
    int fd = Connect();
    std::string first = "GET /mjpg/video.mjpg HTTP/1.0\r\n";
    send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(WaitClosed(fd));
    EXPECT_TRUE(
        Logged("Live video client" + ClientName(fd) + " request is not HTTP or incomplete"));
    send(fd, "\r\n", 2, MSG_NOSIGNAL);
    EXPECT_EQ(-1, EntryOf(fd));
}

TEST_F(LvServer, ConnectionClosedBeforeRequest) {
    Start();
    int fd = Connect();
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(WaitClosed(fd));
    EXPECT_TRUE(Logged("Error: Live video client closes connection"));
}

// Megabytes of request: one read of 1024 bytes decides; the rest is never
// read and the server does not wait for it.
TEST_F(LvServer, RequestOfMegabytes) {
    Start();
    int garbage = Connect();
    int valid = Connect();
    std::string big(4 << 20, 'A');
    std::string head = std::string(kRequest) + big;
    for (int fd : {garbage, valid}) {
        const std::string &text = fd == garbage ? big : head;
        size_t off = 0;
        for (;;) {  // as much as the sockets take
            ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
            Pass(0);
        }
    }
    EXPECT_TRUE(WaitClosed(garbage));
    EXPECT_TRUE(Logged("Live video client" + ClientName(garbage) + " request is not HTTP"));
    std::string part = AddFrame(5000);
    EXPECT_EQ(ResponseHeader() + part, Receive(valid, ResponseHeader().size() + part.size()));
}

TEST_F(LvServer, ViewerGetsNewestFramesByteForByte) {
    Start();
    AddFrame(1000);
    AddFrame(2000);
    std::string third = AddFrame(3000);
    int fd = Viewer();
    EXPECT_EQ(third, Receive(fd, third.size()));
    std::string fourth = AddFrame(70000);
    EXPECT_TRUE(SameBytes(fourth, Receive(fd, fourth.size())));
    EXPECT_EQ(ctx_.frameBuffer.lastSequence,
              ctx_.lvServer.lvClient[EntryOf(fd) - 2].lastSentSequence);
    EXPECT_EQ(0, HeldFrames());
}

// A viewer that has everything waits for nothing: poll() does not wake for
// it, nothing is written and no frame is held.
TEST_F(LvServer, CaughtUpViewerIsNotPolledForWriting) {
    Start();
    std::string part = AddFrame(4000);
    int fd = Viewer();
    EXPECT_EQ(part, Receive(fd, part.size()));
    int entry = EntryOf(fd);
    uint32_t last = ctx_.lvServer.lvClient[entry - 2].lastSentSequence;
    EXPECT_EQ(0, Pass(50));
    EXPECT_EQ(0, ctx_.connection[entry].events);
    EXPECT_EQ(last, ctx_.lvServer.lvClient[entry - 2].lastSentSequence);
    EXPECT_EQ(-1, ctx_.lvServer.lvClient[entry - 2].frameIndex);
    EXPECT_EQ(0, HeldFrames());
    char byte;
    EXPECT_EQ(-1, recv(fd, &byte, 1, MSG_DONTWAIT));
}

// The response header waits until the camera has named its boundary.
TEST_F(LvServer, ResponseWaitsForTheCameraBoundary) {
    ctx_.camera.boundary[0] = '\0';
    Start();
    int fd = Connect();
    send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
    ASSERT_TRUE(harness::WaitUntil([&] {
        Pass(2);
        return EntryOf(fd) != -1 &&
               ctx_.lvServer.lvClient[EntryOf(fd) - 2].state == LV_STATE_SEND_RESPONSE;
    }));
    EXPECT_EQ(0, Pass(50));
    snprintf(ctx_.camera.boundary, sizeof(ctx_.camera.boundary), "%s", kBoundary);
    EXPECT_EQ(ResponseHeader(), Receive(fd, ResponseHeader().size()));
}

TEST_F(LvServer, SixthViewerIsRefusedAndFreedEntryReused) {
    Start();
    int viewers[LV_CLIENT_COUNT];
    for (int &fd : viewers) fd = Viewer();
    int sixth = Connect();
    ASSERT_NE(-1, sixth);
    EXPECT_TRUE(WaitClosed(sixth));
    EXPECT_TRUE(Logged(
        "Error: Reject a live video client connection request, but the connection pool is full."));
    int freed = EntryOf(viewers[2]);
    CloseSocket(viewers[2], false);
    AddFrame(100);  // the closed viewer is found out on its next write
    ASSERT_TRUE(harness::WaitUntil([&] {
        Pass(2);
        return ctx_.connection[freed].fd == -1;
    }));
    int next = Viewer();
    EXPECT_EQ(freed, EntryOf(next));
    for (int fd : viewers) {
        if (fd != viewers[2]) {
            EXPECT_NE(-1, EntryOf(fd));
        }
    }
}

// Five connections that never send a request do not lock viewers out for
// good: once they have waited past the time-out, a newcomer takes the entry
// of the first of them.
TEST_F(LvServer, SilentConnectionsGiveWayAfterTimeOut) {
    Start();
    int silent[LV_CLIENT_COUNT];
    for (int &fd : silent) fd = Connect();
    int early = Connect();
    EXPECT_TRUE(WaitClosed(early));
    EXPECT_TRUE(Logged("the connection pool is full"));
    ctx_.now.tv_sec += LV_REQUEST_TIMEOUT_SECONDS + 1;
    AddFrame(100);
    int late = Viewer();
    EXPECT_EQ(2, EntryOf(late));
    EXPECT_TRUE(Logged("Error: Live video client" + ClientName(silent[0]) +
                       " sent no request within 10 seconds"));
    EXPECT_TRUE(WaitClosed(silent[0]));
}

// A viewer that stops reading keeps one frame; the camera goes on receiving
// into the other buffers; when it reads again it finishes that frame and
// jumps to the newest.
TEST_F(LvServer, StalledViewerHoldsOneFrameAndSkips) {
    Start();
    int fast = Viewer();
    int slow = Viewer();
    std::string first = AddFrame(kStallingImage);
    EXPECT_TRUE(SameBytes(first, Receive(fast, first.size())));
    int entry = EntryOf(slow);
    ASSERT_TRUE(harness::WaitUntil([&] { return Pass(20) == 0; }));
    EXPECT_GT(ctx_.lvServer.lvClient[entry - 2].sentBytes, 0);
    EXPECT_EQ(1, HeldFrames());
    std::string newest;
    for (int i = 0; i < 12; i++) {
        newest = AddFrame(1000 + i);
        EXPECT_TRUE(SameBytes(newest, Receive(fast, newest.size())));
        EXPECT_EQ(1, HeldFrames());
    }
    EXPECT_TRUE(SameBytes(first + newest, Receive(slow, first.size() + newest.size())));
    EXPECT_EQ(0, HeldFrames());
}

// Viewers that fail mid-frame give their frame back once: another viewer
// holding the same frame keeps its claim.
TEST_F(LvServer, FailedViewerGivesItsFrameBackOnce) {
    Start();
    int a = Viewer();
    int b = Viewer();
    AddFrame(kStallingImage);
    ASSERT_TRUE(harness::WaitUntil([&] { return Pass(20) == 0; }));
    int held = ctx_.lvServer.lvClient[EntryOf(a) - 2].frameIndex;
    ASSERT_NE(-1, held);
    EXPECT_EQ(held, ctx_.lvServer.lvClient[EntryOf(b) - 2].frameIndex);
    EXPECT_EQ(2, ctx_.frameBuffer.frames[held].readers);
    int entryA = EntryOf(a);
    CloseSocket(a, true);
    ASSERT_TRUE(harness::WaitUntil([&] {
        Pass(2);
        return ctx_.connection[entryA].fd == -1;
    }));
    EXPECT_TRUE(Logged("Error: Live video client connection report POLLERR") ||
                Logged("Error: Error occur when sending a frame"));
    EXPECT_EQ(1, ctx_.frameBuffer.frames[held].readers);
    int entryB = EntryOf(b);
    CloseSocket(b, false);  // unread data: the server sees a reset too
    ASSERT_TRUE(harness::WaitUntil([&] {
        Pass(2);
        return ctx_.connection[entryB].fd == -1;
    }));
    EXPECT_EQ(0, HeldFrames());
}

// A viewer that half-closes after its request (it will send nothing more)
// still watches, and does not make the server spin on it.
TEST_F(LvServer, HalfClosedViewerKeepsWatching) {
    Start();
    int fd = Viewer();
    shutdown(fd, SHUT_WR);
    std::string part = AddFrame(3000);
    EXPECT_EQ(part, Receive(fd, part.size()));
    EXPECT_EQ(0, Pass(50));
    part = AddFrame(4000);
    EXPECT_EQ(part, Receive(fd, part.size()));
}

TEST_F(LvServer, StopClosesViewersAndGivesFramesBack) {
    Start();
    int a = Viewer();
    int b = Viewer();
    AddFrame(kStallingImage);
    ASSERT_TRUE(harness::WaitUntil([&] { return Pass(20) == 0; }));
    EXPECT_EQ(2, HeldFrames());
    EXPECT_EQ(0, StopLvServer(&ctx_));
    EXPECT_EQ(0, HeldFrames());
    for (int index = 1; index < CONNECTION_COUNT; index++) EXPECT_EQ(-1, ctx_.connection[index].fd);
    EXPECT_TRUE(Logged("Live video server is stopped."));
    EXPECT_TRUE(WaitClosed(a));
    EXPECT_TRUE(WaitClosed(b));
}

TEST_F(LvServer, SecondStartStopsTheFirst) {
    Start();
    EXPECT_EQ(0, StartLvServer(&ctx_));
    EXPECT_TRUE(Logged(
        "Error: trying to start live video server before stopping previous live video server"));
    EXPECT_TRUE(Logged("Live video server is started successfully."));
    EXPECT_NE(-1, Viewer());
}

TEST_F(LvServer, PortZeroStartsNothing) {
    config_.lvs_server_port = 0;
    EXPECT_EQ(0, StartLvServer(&ctx_));
    EXPECT_EQ(-1, ctx_.connection[ctx_.lvServerIndex].fd);
}

// A busy port: the bind fails, the socket stays until poll() reports it hung
// up, and then it is closed for the main loop to try again.
TEST_F(LvServer, BusyPortIsReportedAndClosedOnHangUp) {
    int other = socket(AF_INET, SOCK_STREAM, 0);
    sockets_.push_back(other);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    bind(other, reinterpret_cast<struct sockaddr *>(&address), sizeof(address));
    listen(other, 1);
    socklen_t length = sizeof(address);
    getsockname(other, reinterpret_cast<struct sockaddr *>(&address), &length);
    config_.lvs_server_port = ntohs(address.sin_port);
    EXPECT_EQ(1, StartLvServer(&ctx_));
    EXPECT_TRUE(Logged("Error: Fail to bind port (" + std::to_string(config_.lvs_server_port) +
                       ") for live video server. The address is already used."));
    EXPECT_NE(-1, ctx_.connection[ctx_.lvServerIndex].fd);
    EXPECT_EQ(1, Pass(1000));
    EXPECT_EQ(-1, ctx_.connection[ctx_.lvServerIndex].fd);
    EXPECT_TRUE(Logged("Error: Live video server report POLLHUP"));
    EXPECT_TRUE(Logged("Live video server stop accepting new connection."));
}

TEST_F(LvServer, NullContextIsRefused) {
    EXPECT_EQ(1, StartLvServer(nullptr));
    EXPECT_EQ(1, AcceptLvClient(nullptr, 1));
    EXPECT_EQ(1, HandleLvClientEvent(nullptr, 2));
    EXPECT_TRUE(Logged("Error: null pointer pCtx in StartLvServer()"));
    EXPECT_TRUE(Logged("Error: null pointer pCtx in AcceptLvClient()"));
    EXPECT_TRUE(Logged("Error: null pointer pCtx in HandleLvClientEvent()"));
    ctx_.pConfig = nullptr;
    EXPECT_EQ(1, StartLvServer(&ctx_));
    EXPECT_TRUE(Logged("Error: null pointer pConfig in StartLvServer()"));
    ctx_.pConfig = &config_;
}

}  // namespace
}  // namespace lvtest

namespace lvtest {
namespace {

// Standard output of the test process, captured while it lives.
class CapturedStdout {
  public:
    CapturedStdout() {
        pipe(fds_);
        saved_ = dup(STDOUT_FILENO);
        dup2(fds_[1], STDOUT_FILENO);
    }
    ~CapturedStdout() { Restore(); }
    std::string Restore() {
        if (saved_ != -1) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            close(fds_[1]);
            saved_ = -1;
            char buffer[65536];
            ssize_t n;
            while ((n = read(fds_[0], buffer, sizeof(buffer))) > 0) text_.append(buffer, n);
            close(fds_[0]);
        }
        return text_;
    }

  private:
    int fds_[2];
    int saved_ = -1;
    std::string text_;
};

// In verbose mode the request is echoed, with the bytes that could steer a
// terminal shown as '.'.
TEST_F(LvServer, VerboseEchoShowsControlBytesAsDots) {
    Start();
    gLogging.verbose = 1;
    CapturedStdout out;
    int fd = Connect();
    std::string request = "GET /mjpg/video.mjpg HTTP/1.0\r\nX: \x1b[2J\x07\xff\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ResponseHeader(), Receive(fd, ResponseHeader().size()));
    gLogging.verbose = 0;
    std::string text = out.Restore();
    EXPECT_NE(std::string::npos, text.find("GET /mjpg/video.mjpg HTTP/1.0\nX: .[2J..\n\n"));
    EXPECT_EQ(std::string::npos, text.find('\x1b'));
}

}  // namespace
}  // namespace lvtest
