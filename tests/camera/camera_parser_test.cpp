// Tests of the camera stream parser over a socketpair: the states from the
// status line to a complete frame, the boundary forms, every failure row,
// and camera bytes that must not be trusted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "camera.h"
#include "camera_test_stubs.h"
#include "logging.h"

namespace {

std::string Head(const std::string &boundaryParameter = "myboundary") {
    return "HTTP/1.0 200 OK\r\nServer: cam\r\n"
           "Content-Type: multipart/x-mixed-replace;boundary=" +
           boundaryParameter + "\r\n\r\n";
}

std::string Part(const std::string &image, const std::string &boundary = "myboundary") {
    return "--" + boundary +
           "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(image.size()) +
           "\r\n\r\n" + image + "\r\n";
}

std::string Image(size_t size, char fill) {
    std::string image(size, fill);
    if (size >= 4) image.replace(0, 2, "\xff\xd8").replace(size - 2, 2, "\xff\xd9");
    return image;
}

// A socketpair whose first end is non-blocking, as the camera socket is.
void CameraPair(int fds[2]) {
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
}

// A TCP connection over 127.0.0.1: fds[0] the camera socket (non-blocking),
// fds[1] the camera's end.
void TcpCameraPair(int fds[2]) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<struct sockaddr *>(&address), &length));
    fds[0] = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(fds[0], reinterpret_cast<struct sockaddr *>(&address), sizeof(address)));
    fds[1] = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(fds[1], 0);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
}

// A connected camera (state 2, receive buffer taken) whose other end the
// test writes.
class ParserTest : public ::testing::Test {
  protected:
    explicit ParserTest(int bufferSize = 4096) : rec_(bufferSize) {}
    void SetUp() override {
        int fds[2];
        CameraPair(fds);
        int size = 1 << 20;
        setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        rec_.ctx.connection[0].fd = fds[0];
        rec_.ctx.connection[0].events = POLLIN;
        rec_.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;
        peer_ = fds[1];
        ASSERT_EQ(0, GetNextReceiveFrameBuffer(&pool(), -1));
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
    }

    FrameBufferPool &pool() { return rec_.ctx.frameBuffer; }
    int state() { return rec_.ctx.camera.cameraState; }
    bool open() { return rec_.ctx.connection[0].fd != -1; }
    const std::vector<std::string> &images() { return gCameraStub.images; }
    void MaxRead(int bytes) { rec_.config.nvr_max_read_size = bytes; }

    void Send(const std::string &bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(peer_, bytes.data(), bytes.size()));
    }
    // One main-loop pass that found the camera readable.
    void Serve() {
        rec_.ctx.connection[0].revents = POLLIN;
        HandleCameraEvent(&rec_.ctx, 0);
    }
    // Passes while the socket has data (and one more, as the next bytes of a
    // live stream would give).
    void ServeAll() {
        for (int i = 0; i < 100000 && open(); i++) {
            struct pollfd p = {rec_.ctx.connection[0].fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return;
            Serve();
        }
    }
    void Stream(const std::string &bytes) {
        Send(bytes);
        ServeAll();
    }
    // The bytes a live client would send for the newest frame.
    std::string NewestPart() {
        int index = GetNextSendFrameBuffer(&pool(), 0);
        if (index < 0) return "";
        const FrameRecord &frame = pool().frames[index];
        FinishSendingFrame(&pool(), index);
        return std::string(reinterpret_cast<char *>(frame.data + frame.partStart),
                           static_cast<size_t>(frame.partLength));
    }

    TestRecorder rec_;
    int peer_ = -1;
};

TEST_F(ParserTest, OneReadFromStatusLineToCompleteFrame) {
    std::string image = Image(300, 'a');
    Send(Head() + Part(image));
    Serve();
    ASSERT_EQ(1u, images().size());
    EXPECT_EQ(image, images()[0]);
    EXPECT_EQ(IPCAM_STATE_FIND_PART, state());
    EXPECT_STREQ("myboundary", rec_.ctx.camera.boundary);
    EXPECT_EQ(1u, pool().lastSequence);
    EXPECT_EQ(Part(image), NewestPart()) << "the camera's own part, CRLF after the image";
    EXPECT_EQ(0, rec_.ctx.camera.reconnectCount);
    EXPECT_EQ(1, cameraErrorReportArmed);
}

// Every frame that one read completes is taken before the next read, so
// frames never pile up in the buffer behind a fast camera.
TEST_F(ParserTest, EveryFrameOfAReadIsTakenInTheSameCall) {
    Send(Head() + Part("one!") + Part("two!") + "--myboundary\r\nContent-Le");
    Serve();
    ASSERT_EQ(2u, images().size());
    EXPECT_EQ("two!", images()[1]);
    EXPECT_EQ(2u, pool().lastSequence);
    EXPECT_EQ(IPCAM_STATE_CHECK_CONTENT_LENGTH, state()) << "the third part waits for its size";
    Serve();
    EXPECT_EQ(2u, images().size()) << "nothing read, nothing parsed";
    Send("ngth: 5\r\n\r\nthree\r\n");
    Serve();
    ASSERT_EQ(3u, images().size());
    EXPECT_EQ("three", images()[2]);
    EXPECT_EQ("--myboundary\r\nContent-Length: 5\r\n\r\nthree\r\n", NewestPart());
}

// A camera that sends faster than frames are taken loses none of them,
// whatever the read size: small images that many fit in one read, and
// larger ones behind reads without a limit.
TEST_F(ParserTest, NoFrameOfAFastCameraIsLost) {
    const struct {
        int maxRead;
        size_t imageSize;
    } cases[] = {{2048, 100}, {0, 100}, {0, 700}, {0, 3000}, {100000, 700}, {1, 300}};
    for (const auto &c : cases) {
        TestRecorder rec(4096);
        std::swap(rec.ctx.connection[0], rec_.ctx.connection[0]);
        rec.config.nvr_max_read_size = c.maxRead;
        rec.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;
        GetNextReceiveFrameBuffer(&rec.ctx.frameBuffer, -1);
        std::string stream = Head();
        for (int i = 0; i < 60; i++) stream += Part(Image(c.imageSize + i % 7, 'a' + i % 26));
        Send(stream);
        for (int i = 0; i < 100000; i++) {
            struct pollfd p = {rec.ctx.connection[0].fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 1) break;
            rec.ctx.connection[0].revents = p.revents;
            HandleCameraEvent(&rec.ctx, 0);
        }
        std::string what = std::to_string(c.maxRead) + "/" + std::to_string(c.imageSize);
        EXPECT_NE(-1, rec.ctx.connection[0].fd) << what;
        EXPECT_EQ(60u, gCameraStub.images.size()) << what;
        for (size_t i = 0; i < 60 && i < gCameraStub.images.size(); i++) {
            EXPECT_EQ(Image(c.imageSize + i % 7, 'a' + i % 26), gCameraStub.images[i]) << what;
        }
        EXPECT_EQ(60u, rec.ctx.frameBuffer.lastSequence) << what;
        EXPECT_EQ(nullptr, rec.ctx.frameBuffer.frames[2].data) << what << ": two buffers in turn";
        std::swap(rec.ctx.connection[0], rec_.ctx.connection[0]);
    }
}

TEST_F(ParserTest, EveryByteInAReadOfItsOwn) {
    MaxRead(1);
    std::string stream = Head();
    for (int i = 0; i < 5; i++) stream += Part(Image(100 + i, static_cast<char>('a' + i)));
    Stream(stream);
    ASSERT_EQ(5u, images().size());
    for (int i = 0; i < 5; i++) EXPECT_EQ(Image(100 + i, static_cast<char>('a' + i)), images()[i]);
    EXPECT_EQ(5u, pool().lastSequence);
    EXPECT_EQ(nullptr, pool().frames[2].data) << "two buffers in turn";
}

TEST_F(ParserTest, BoundaryForms) {
    const struct {
        std::string parameter, partBoundary;
    } cases[] = {
        {"myboundary", "myboundary"},
        {"--myboundary", "myboundary"},
        {"\"myboundary\"", "myboundary"},
        {"\"--myboundary\"", "myboundary"},
        {std::string(127, 'b'), std::string(127, 'b')},
    };
    for (const auto &c : cases) {
        TestRecorder rec(4096);
        std::swap(rec.ctx.connection[0], rec_.ctx.connection[0]);
        rec.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;
        GetNextReceiveFrameBuffer(&rec.ctx.frameBuffer, -1);
        Send(Head(c.parameter) + Part("JPEG", c.partBoundary) + "--" + c.partBoundary + "--\r\n");
        rec.ctx.connection[0].revents = POLLIN;
        HandleCameraEvent(&rec.ctx, 0);
        EXPECT_EQ(c.partBoundary, rec.ctx.camera.boundary) << c.parameter;
        EXPECT_EQ(1u, gCameraStub.images.size()) << c.parameter;
        std::swap(rec.ctx.connection[0], rec_.ctx.connection[0]);
    }
}

// Status lines and response heads that are not what a camera sends close
// the camera before any frame.
TEST_F(ParserTest, BadResponsesCloseTheCamera) {
    const struct {
        std::string response;
        unsigned char armedAfter;
    } cases[] = {
        {"HTTP/1.0 200\r\nContent-Type: x;boundary=b\r\n\r\n", 1},  // no reason phrase
        {"ICY 200 OK\r\nContent-Type: x;boundary=b\r\n\r\n", 1},    // not HTTP
        {"HTTP/1.0 200 " + std::string(60, 'O') + "\r\n\r\n", 1},   // status line too long
        {std::string(100, 'x'), 1},                                 // no line end at all
        {"HTTP/1.0 401 Unauthorized\r\n\r\n", 0},
        {"HTTP/1.0 503 Service Unavailable\r\n\r\n", 0},
        {"HTTP/1.0 200 OK\r\n" + std::string(1100, 'h') + "\r\n", 1},  // head beyond 1024
        {"HTTP/1.0 200 OK\r\nContent-Type: x;boundary=" + std::string(128, 'b') + "\r\n", 1},
        {"HTTP/1.0 200 OK\r\nContent-Type: x;boundary=a\nInjected: 1\r\n\r\n", 1},
    };
    for (const auto &c : cases) {
        TestRecorder rec(4096);
        int fds[2];
        CameraPair(fds);
        rec.ctx.connection[0].fd = fds[0];
        rec.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;
        GetNextReceiveFrameBuffer(&rec.ctx.frameBuffer, -1);
        ASSERT_EQ(static_cast<ssize_t>(c.response.size()),
                  write(fds[1], c.response.data(), c.response.size()));
        for (int i = 0; i < 10 && rec.ctx.connection[0].fd != -1; i++) {
            rec.ctx.connection[0].revents = POLLIN;
            HandleCameraEvent(&rec.ctx, 0);
        }
        EXPECT_EQ(-1, rec.ctx.connection[0].fd) << c.response;
        EXPECT_EQ(c.armedAfter, cameraErrorReportArmed) << c.response;
        EXPECT_EQ(0, gCameraStub.recordingBlockedCalls) << "the file stays open";
        close(fds[1]);
    }
}

TEST_F(ParserTest, ErrorStatusIsReportedOncePerEpisode) {
    Send("HTTP/1.0 401 Unauthorized\r\n\r\n");
    Serve();
    EXPECT_FALSE(open());
    EXPECT_EQ(0, cameraErrorReportArmed);
    // A later 200 answer re-arms the latch.
    int fds[2];
    CameraPair(fds);
    close(peer_);
    peer_ = fds[1];
    rec_.ctx.connection[0].fd = fds[0];
    rec_.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;
    GetNextReceiveFrameBuffer(&pool(), -1);
    rec_.ctx.camera.reconnectCount = 5;
    Send(Head());
    Serve();
    EXPECT_EQ(1, cameraErrorReportArmed);
    EXPECT_EQ(0, rec_.ctx.camera.reconnectCount);
}

TEST_F(ParserTest, HeadEndingAtByte1024IsAccepted) {
    std::string head = "HTTP/1.0 200 OK\r\n";
    std::string contentType = "Content-Type: multipart/x-mixed-replace;boundary=myboundary\r\n";
    head += "X-Pad: " + std::string(1024 - head.size() - contentType.size() - 9, 'p') + "\r\n";
    head += contentType;
    ASSERT_EQ(1024u, head.size());
    Stream(head + "\r\n" + Part("JPEG"));
    EXPECT_TRUE(open());
    EXPECT_EQ(1u, images().size());
}

TEST_F(ParserTest, BoundaryParameterOnlyInContentType) {
    Stream(
        "HTTP/1.0 200 OK\r\nX-Note: boundary=wrong\r\nContent-Type: x;boundary=\r\n"
        "Content-Type: multipart/x-mixed-replace;boundary=right\r\n\r\n" +
        Part("JPEG", "wrong") + Part("PIC", "right"));
    EXPECT_STREQ("right", rec_.ctx.camera.boundary) << "empty value passed over";
    ASSERT_EQ(1u, images().size());
    EXPECT_EQ("PIC", images()[0]);
}

TEST_F(ParserTest, ContentLengthWithoutBlankLosesItsFirstDigit) {
    Stream(Head() + "--myboundary\r\nContent-Length:12345\r\n\r\n");
    EXPECT_EQ(2345, pool().frames[pool().receiveIndex].frameSize);
    EXPECT_EQ(IPCAM_STATE_RECEIVE_FRAME, state());
}

TEST_F(ParserTest, OversizeImageIsSkippedAndTheNextOneReceived) {
    const int bufferSize = pool().bufferSize;
    std::string big = Image(static_cast<size_t>(bufferSize) + 1, 'x');
    Stream(Head() + Part(big) + Part("next"));
    EXPECT_TRUE(open());
    ASSERT_EQ(1u, images().size());
    EXPECT_EQ("next", images()[0]);
}

// Fits the buffer by itself but not with its boundary line and headers.
TEST_F(ParserTest, ImageThatDoesNotFitWithItsHeadersFillsTheBufferAndIsDropped) {
    std::string image = Image(static_cast<size_t>(pool().bufferSize) - 20, 'y');
    Stream(Head() + Part(image) + Part("next"));
    EXPECT_TRUE(open());
    ASSERT_EQ(1u, images().size());
    EXPECT_EQ("next", images()[0]);
}

// An image that ends at the last byte of the buffer is kept; its CRLF goes
// into the two spare bytes.
TEST_F(ParserTest, ImageEndingAtTheLastByteOfTheBuffer) {
    Stream(Head() + Part("first"));  // leaves its CRLF in the next buffer
    ASSERT_EQ(1u, images().size());
    std::string prefix = "\r\n--myboundary\r\nContent-Length: NNNN\r\n\r\n";
    std::string image = Image(static_cast<size_t>(pool().bufferSize) - prefix.size(), 'z');
    Stream("--myboundary\r\nContent-Length: " + std::to_string(image.size()) + "\r\n\r\n" + image);
    ASSERT_EQ(2u, images().size());
    EXPECT_EQ(image, images()[1]);
    int index = GetNextSendFrameBuffer(&pool(), 1);
    ASSERT_NE(-1, index);
    const FrameRecord &frame = pool().frames[index];
    EXPECT_EQ(pool().bufferSize + 2, frame.partStart + frame.partLength);
    EXPECT_EQ(0, memcmp("\xff\xd9\r\n", frame.data + pool().bufferSize - 2, 4));
    FinishSendingFrame(&pool(), index);
}

TEST_F(ParserTest, PartsWithoutLengthYieldNoFrameAndDoNotStall) {
    std::string stream = Head();
    for (int i = 0; i < 40; i++)
        stream += "--myboundary\r\nContent-Type: image/jpeg\r\n\r\n" + Image(500, 'n') + "\r\n";
    Stream(stream);
    EXPECT_TRUE(open());
    EXPECT_EQ(0u, images().size());
    Stream(Part("good"));
    EXPECT_EQ(1u, images().size()) << "the search started again";
}

TEST_F(ParserTest, NegativeOrAbsurdLengthsAreSkipped) {
    Stream(Head());
    for (const char *length : {"-5", "-2147483648", "99999999999999999999", "abc", "0"}) {
        Stream(std::string("--myboundary\r\nContent-Length: ") + length + "\r\n\r\nJPEGDATA\r\n");
        EXPECT_EQ(IPCAM_STATE_FIND_PART, state()) << length;
    }
    EXPECT_TRUE(open());
    EXPECT_EQ(0u, images().size());
    Stream(Part("good"));
    ASSERT_EQ(1u, images().size());
    EXPECT_EQ("good", images()[0]);
}

// The image is followed at once by the next boundary line (no CRLF): the
// appended CRLF must not eat the next part.
TEST_F(ParserTest, NextPartRightAfterTheImage) {
    Stream(Head() +
           "--myboundary\r\nContent-Length: 4\r\n\r\nAAAA--myboundary\r\n"
           "Content-Length: 4\r\n\r\nBBBB\r\n");
    Stream(Part("CCCC"));
    ASSERT_EQ(3u, images().size());
    EXPECT_EQ("BBBB", images()[1]);
    EXPECT_EQ("CCCC", images()[2]);
}

TEST_F(ParserTest, ReadWithNothingToReadChangesNothing) {
    Send(Head() + "--myboundary\r\nContent-Le");
    Serve();
    FrameBufferPool before = pool();
    int stateBefore = state();
    Serve();
    EXPECT_EQ(before.fillLevel, pool().fillLevel);
    EXPECT_EQ(before.parsePos, pool().parsePos);
    EXPECT_EQ(stateBefore, state());
    EXPECT_TRUE(open());
}

TEST_F(ParserTest, CloseInTheMiddleOfAFrame) {
    Send(Head() + Part("whole") + "--myboundary\r\nContent-Length: 100\r\n\r\nhalf");
    close(peer_);
    peer_ = -1;
    for (int i = 0; i < 10 && open(); i++) Serve();
    EXPECT_FALSE(open());
    EXPECT_EQ(1u, images().size());
    EXPECT_EQ(1, gCameraStub.recordingBlockedCalls) << "the file is closed at once";
}

// A camera that resets its TCP connection (SO_LINGER 0, then close): the
// read fails with ECONNRESET, which is the read-error row, not a disconnect.
TEST_F(ParserTest, ResetConnectionIsAReadError) {
    close(rec_.ctx.connection[0].fd);
    close(peer_);
    int fds[2] = {-1, -1};
    ASSERT_NO_FATAL_FAILURE(TcpCameraPair(fds));
    rec_.ctx.connection[0].fd = fds[0];
    peer_ = fds[1];
    Send(Head());
    Serve();
    ASSERT_TRUE(open());
    rec_.ctx.camera.cameraState = IPCAM_STATE_CHECK_STATUS;  // a fresh connection
    struct linger hard = {1, 0};
    ASSERT_EQ(0, setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)));
    close(peer_);
    peer_ = -1;
    struct pollfd reset = {fds[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&reset, 1, 20000)) << "the reset arrives";
    gLogging.consoleLogging = 1;
    testing::internal::CaptureStdout();
    Serve();
    std::string out = testing::internal::GetCapturedStdout();
    gLogging.consoleLogging = 0;
    EXPECT_FALSE(open());
    EXPECT_EQ(1, gCameraStub.recordingBlockedCalls);
    EXPECT_NE(std::string::npos, out.find("Error: IP camera connection error (-1)\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("disconnected")) << out;
}

TEST_F(ParserTest, UnusedStateShutsDown) {
    Send("x");
    rec_.ctx.camera.cameraState = IPCAM_STATE_CHECK_CONTENT_TYPE;
    EXPECT_THROW(Serve(), ShutdownCalled);
}

TEST_F(ParserTest, NoReceiveBufferIsReportedOnce) {
    pool().receiveIndex = -1;
    Send("HTTP");
    Serve();
    EXPECT_FALSE(open());
    EXPECT_EQ(0, cameraErrorReportArmed);
}

// A buffer too small for the response head: the head is refused instead of
// being skipped like a frame.
class TinyBufferTest : public ParserTest {
  protected:
    TinyBufferTest() : ParserTest(48) {}
};

TEST_F(TinyBufferTest, HeadLargerThanTheBufferIsUnknownProtocol) {
    Stream(Head());
    EXPECT_FALSE(open());
}

}  // namespace
