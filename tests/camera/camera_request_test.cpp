// Tests of the camera connection: Base64Encode, the request of each camera
// type, and the non-blocking connect over real TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "camera.h"
#include "camera_test_stubs.h"

namespace {

std::string Encode(const std::string &text) {
    char out[CAMERA_CREDENTIALS_BASE64_SIZE];
    Base64Encode(text.c_str(), out);
    return out;
}

TEST(Base64, Rfc4648Vectors) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {":", "Og=="},
        {"root:pass", "cm9vdDpwYXNz"},
        {"\xff\xfe\x80", "//6A"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.out, Encode(c.in)) << c.in;
}

// The longest credentials the configuration holds, checked against the
// system's base64 tool.
TEST(Base64, LongestCredentialsMatchTheBase64Tool) {
    std::string text;
    for (int i = 0; i < 2 * (CONFIG_NAME_SIZE - 1) + 1; i++)
        text += static_cast<char>(' ' + i % 95);
    text[CONFIG_NAME_SIZE - 1] = ':';
    char path[] = "/tmp/camb64.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    FILE *tool = popen((std::string("base64 -w0 ") + path).c_str(), "r");
    ASSERT_NE(nullptr, tool);
    char expected[2048] = "";
    ASSERT_NE(nullptr, fgets(expected, sizeof(expected), tool));
    pclose(tool);
    unlink(path);
    EXPECT_EQ(expected, Encode(text));
}

// A recorder whose camera entry is one end of a socketpair.
class RequestTest : public ::testing::Test {
  protected:
    RequestTest() : rec_(1000) {}
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        rec_.ctx.connection[0].fd = fds[0];
        rec_.ctx.connection[0].events = POLLOUT;
        rec_.ctx.camera.cameraState = IPCAM_STATE_CONNECTING;
        peer_ = fds[1];
    }
    void TearDown() override { close(peer_); }

    std::string Sent() {
        char buf[4096];
        ssize_t n = recv(peer_, buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    void Set(char *field, const std::string &value) { strcpy(field, value.c_str()); }

    TestRecorder rec_;
    int peer_ = -1;
};

TEST_F(RequestTest, RequestOfEachCameraType) {
    const std::string headers = "Accept: image/jpeg,*/*\r\nConnection: Keep-Alive\r\n\r\n";
    const struct {
        int type;
        const char *user, *password;
        std::string request;
    } cases[] = {
        {CAMERA_TYPE_ZORVAN, "admin", "secret",
         "GET /mjpg/video.mjpg HTTP/1.0\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n"},
        {CAMERA_TYPE_AXIS, "root", "pass",
         "GET /axis-cgi/mjpg/video.cgi?fps=15&resolution=640x480 HTTP/1.0\r\n"
         "Authorization: Basic cm9vdDpwYXNz\r\n"},
        {CAMERA_TYPE_OTHER, "", "", "GET /cgi/mjpg?x=1 HTTP/1.0\r\nAuthorization: Basic Og==\r\n"},
    };
    for (const auto &c : cases) {
        rec_.config.ipcam_type = c.type;
        rec_.config.ipcam_fps = 15;
        rec_.config.ipcam_video_width = 640;
        rec_.config.ipcam_video_height = 480;
        Set(rec_.config.ipcam_http_command, "GET /cgi/mjpg?x=1 HTTP/1.0");
        Set(rec_.config.ipcam_username, c.user);
        Set(rec_.config.ipcam_password, c.password);
        rec_.ctx.camera.cameraState = IPCAM_STATE_CONNECTING;
        EXPECT_EQ(0, SendIpcamRequest(&rec_.ctx, 0));
        EXPECT_EQ(c.request + headers, Sent());
        EXPECT_EQ(IPCAM_STATE_CHECK_STATUS, rec_.ctx.camera.cameraState);
        EXPECT_EQ(POLLIN, rec_.ctx.connection[0].events);
    }
}

TEST_F(RequestTest, LongestCredentialsAreSentWhole) {
    Set(rec_.config.ipcam_username, std::string(CONFIG_NAME_SIZE - 1, 'u'));
    Set(rec_.config.ipcam_password, std::string(CONFIG_NAME_SIZE - 1, 'p'));
    ASSERT_EQ(0, SendIpcamRequest(&rec_.ctx, 0));
    std::string expected = "Authorization: Basic " +
                           Encode(std::string(CONFIG_NAME_SIZE - 1, 'u') + ":" +
                                  std::string(CONFIG_NAME_SIZE - 1, 'p')) +
                           "\r\n";
    EXPECT_NE(std::string::npos, Sent().find(expected));
}

TEST_F(RequestTest, UnknownCameraTypeClosesTheSocket) {
    rec_.config.ipcam_type = 7;
    EXPECT_EQ(1, SendIpcamRequest(&rec_.ctx, 0));
    EXPECT_EQ(-1, rec_.ctx.connection[0].fd);
    EXPECT_EQ("", Sent());
}

TEST_F(RequestTest, FailedWriteClosesTheSocket) {
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(1, SendIpcamRequest(&rec_.ctx, 0));
    EXPECT_EQ(-1, rec_.ctx.connection[0].fd);
}

// The pending connect completes on POLLOUT: request sent, receive buffer taken.
TEST_F(RequestTest, WritableSocketCompletesThePendingConnect) {
    rec_.ctx.camera.reconnectDelay = 63;
    rec_.ctx.now.tv_sec = 1234;
    rec_.ctx.connection[0].revents = POLLIN;
    HandleCameraEvent(&rec_.ctx, 0);
    EXPECT_EQ(IPCAM_STATE_CONNECTING, rec_.ctx.camera.cameraState) << "POLLIN alone does nothing";
    rec_.ctx.connection[0].revents = POLLOUT;
    HandleCameraEvent(&rec_.ctx, 0);
    EXPECT_EQ(IPCAM_STATE_CHECK_STATUS, rec_.ctx.camera.cameraState);
    EXPECT_EQ(1, rec_.ctx.camera.reconnectDelay);
    EXPECT_EQ(1234, rec_.ctx.frameBuffer.lastFrameTime.tv_sec);
    EXPECT_EQ(0, rec_.ctx.frameBuffer.receiveIndex);
    EXPECT_EQ(0, Sent().find("GET /mjpg/video.mjpg HTTP/1.0\r\n"));
}

TEST_F(RequestTest, ErrorEventsCloseTheCamera) {
    close(rec_.ctx.connection[0].fd);
    for (short events : {POLLERR | POLLOUT, POLLHUP | POLLIN, POLLNVAL}) {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        rec_.ctx.connection[0].fd = fds[0];
        rec_.ctx.connection[0].revents = events;
        HandleCameraEvent(&rec_.ctx, 0);
        EXPECT_EQ(-1, rec_.ctx.connection[0].fd) << events;
        EXPECT_EQ(-1, rec_.ctx.frameBuffer.receiveIndex) << "nothing else happened";
        close(fds[1]);
    }
}

// DoConnectIPcam against a real listening socket on the loopback.
class ConnectTest : public ::testing::Test {
  protected:
    ConnectTest() : rec_(1000) {}
    void SetUp() override {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
        socklen_t len = sizeof(addr);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        rec_.config.ipcam_port = port_;
    }
    void TearDown() override {
        if (listener_ >= 0) close(listener_);
    }
    TestRecorder rec_;
    int listener_ = -1;
    int port_ = 0;
};

TEST_F(ConnectTest, ConnectsWithoutBlockingAndSendsTheRequest) {
    ASSERT_EQ(0, listen(listener_, 4));
    strcpy(rec_.config.ipcam_address, "localhost");
    ASSERT_EQ(0, DoConnectIPcam(&rec_.ctx));
    struct pollfd &entry = rec_.ctx.connection[0];
    ASSERT_NE(-1, entry.fd);
    EXPECT_NE(0, fcntl(entry.fd, F_GETFL) & O_NONBLOCK);
    if (rec_.ctx.camera.cameraState == IPCAM_STATE_CONNECTING) {
        EXPECT_EQ(POLLOUT, entry.events & POLLOUT);
        ASSERT_EQ(1, poll(&entry, 1, 10000));
        HandleCameraEvent(&rec_.ctx, 0);
    }
    EXPECT_EQ(IPCAM_STATE_CHECK_STATUS, rec_.ctx.camera.cameraState);
    EXPECT_EQ(POLLIN, entry.events);
    int server = accept(listener_, nullptr, nullptr);
    ASSERT_GE(server, 0);
    std::string got;
    char buf[1024];
    while (got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(server, buf, sizeof(buf));
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    close(server);
    EXPECT_EQ(0, got.find("GET /mjpg/video.mjpg HTTP/1.0\r\nAuthorization: Basic Og==\r\n"));
}

TEST_F(ConnectTest, SetUpFailuresShutDown) {
    // TCP to a broadcast address fails at once, without sending a packet.
    strcpy(rec_.config.ipcam_address, "255.255.255.255");
    EXPECT_THROW(DoConnectIPcam(&rec_.ctx), ShutdownCalled);
    EXPECT_EQ(-1, rec_.ctx.connection[0].fd);
    // An empty label: refused before any look-up leaves the machine.
    strcpy(rec_.config.ipcam_address, "camera..invalid");
    EXPECT_THROW(DoConnectIPcam(&rec_.ctx), ShutdownCalled);
    EXPECT_EQ(-1, rec_.ctx.connection[0].fd);
}

// The port is bound but not listening: the connect is under way and then
// refused; the error event closes the socket for the main loop to retry.
TEST_F(ConnectTest, RefusedPortClosesOnTheErrorEvent) {
    try {
        DoConnectIPcam(&rec_.ctx);
    } catch (ShutdownCalled &) {
        EXPECT_EQ(-1, rec_.ctx.connection[0].fd) << "refused at once: the process ends";
        return;
    }
    struct pollfd &entry = rec_.ctx.connection[0];
    EXPECT_EQ(IPCAM_STATE_CONNECTING, rec_.ctx.camera.cameraState);
    ASSERT_EQ(1, poll(&entry, 1, 10000));
    HandleCameraEvent(&rec_.ctx, 0);
    EXPECT_EQ(-1, entry.fd);
    EXPECT_EQ(-1, rec_.ctx.frameBuffer.receiveIndex) << "no request, no buffer";
}

TEST_F(ConnectTest, AnOpenSocketIsClosedFirst) {
    ASSERT_EQ(0, listen(listener_, 4));
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    rec_.ctx.connection[0].fd = fds[0];
    ASSERT_EQ(0, DoConnectIPcam(&rec_.ctx));
    char byte;
    EXPECT_EQ(0, read(fds[1], &byte, 1)) << "the old socket was closed";
    close(fds[1]);
}

TEST_F(ConnectTest, DisconnectForgetsFramesAndStopsReconnecting) {
    ASSERT_EQ(0, listen(listener_, 4));
    ASSERT_EQ(0, DoConnectIPcam(&rec_.ctx));
    rec_.ctx.frameBuffer.frames[0].sequence = 9;
    EXPECT_EQ(0, DisconnectIPcam(&rec_.ctx));
    EXPECT_EQ(-1, rec_.ctx.connection[0].fd);
    EXPECT_EQ(IPCAM_STATE_DISCONNECTED, rec_.ctx.camera.cameraState);
    EXPECT_EQ(0, rec_.ctx.cameraSchedule.enabled);
    EXPECT_EQ(0u, rec_.ctx.frameBuffer.frames[0].sequence);
    EXPECT_EQ(0, rec_.ctx.frameBuffer.lastFrameTime.tv_sec);
    EXPECT_EQ(1, gCameraStub.recordingBlockedCalls);
}

}  // namespace
