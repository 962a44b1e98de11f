// lv_server_fixture.cpp -- the pass-by-pass driver of the live video server
// used by its unit tests.
#include "lv_server_fixture.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "logging.h"

namespace lvtest {

::testing::AssertionResult SameBytes(const std::string &want, const std::string &got) {
    if (want == got) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) at++;
    return ::testing::AssertionFailure() << "expected " << want.size() << " bytes, got "
                                         << got.size() << ", first difference at byte " << at;
}

std::string ResponseHeader() {
    return std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") +
           kBoundary + "\r\n\r\n";
}

static struct sockaddr_in Loopback(int port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

void LvServerTest::SetUp() {
    InitLogging("VIDULA");
    queue_.reset(new harness::QueueReader(root_.Write("logq", "")));
    gLogging.logQueueId = queue_->id();
    memset(&ctx_, 0, sizeof(ctx_));
    memset(&config_, 0, sizeof(config_));
    ctx_.pConfig = &config_;
    LvServerTimingFromEnvironment(&ctx_.lvServer);
    ctx_.cameraIndex = 0;
    ctx_.lvServerIndex = 1;
    for (struct pollfd &entry : ctx_.connection) entry.fd = -1;
    for (LvClient &client : ctx_.lvServer.lvClient) client.frameIndex = -1;
    ASSERT_EQ(0, InitFrameBuffer(&ctx_.frameBuffer, 8 * 1024 * 1024));
    snprintf(ctx_.camera.boundary, sizeof(ctx_.camera.boundary), "%s", kBoundary);
    gettimeofday(&ctx_.now, nullptr);
}

void LvServerTest::TearDown() {
    StopLvServer(&ctx_);
    EXPECT_EQ(0, HeldFrames()) << "a frame stayed held after every viewer was closed";
    FreeFrameBuffer(&ctx_.frameBuffer);
    for (int fd : sockets_) close(fd);
    gLogging.logQueueId = -1;
}

int LvServerTest::Pass(int timeoutMs) {
    PrepareLvClientEvents(&ctx_);
    int ready = poll(&ctx_.connection[ctx_.lvServerIndex], 1 + LV_CLIENT_COUNT, timeoutMs);
    if (ready <= 0) return ready;
    for (int index = ctx_.lvServerIndex; index <= ctx_.lvServerIndex + LV_CLIENT_COUNT; index++) {
        if (ctx_.connection[index].revents == 0) continue;
        if (index == ctx_.lvServerIndex) {
            AcceptLvClient(&ctx_, index);
        } else {
            HandleLvClientEvent(&ctx_, index);
        }
    }
    return ready;
}

void LvServerTest::Start() {
    config_.lvs_server_port = harness::FreeLoopbackPort();
    ASSERT_EQ(0, StartLvServer(&ctx_));
    ASSERT_NE(-1, ctx_.connection[ctx_.lvServerIndex].fd);
}

int LvServerTest::Connect() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = Loopback(config_.lvs_server_port);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    sockets_.push_back(fd);
    int port = LocalPort(fd);
    std::string accepted = "Accept a live video client(127.0.0.1:" + std::to_string(port) + ")";
    std::string refused = "the connection pool is full";
    size_t before = logs_.size();
    bool done = harness::WaitUntil([&] {
        Pass(5);
        if (Logged(accepted)) return true;
        for (size_t i = before; i < logs_.size(); i++) {
            if (logs_[i].find(refused) != std::string::npos) return true;
        }
        return false;
    });
    return done ? fd : -1;
}

int LvServerTest::Viewer() {
    int fd = Connect();
    if (fd == -1) return -1;
    send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
    std::string header = Receive(fd, ResponseHeader().size());
    EXPECT_EQ(ResponseHeader(), header);
    return fd;
}

void LvServerTest::CloseSocket(int fd, bool reset) {
    if (reset) {
        struct linger hard = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    }
    for (size_t i = 0; i < sockets_.size(); i++) {
        if (sockets_[i] == fd) sockets_.erase(sockets_.begin() + static_cast<long>(i));
    }
    close(fd);
}

int LvServerTest::EntryOf(int fd) {
    int port = LocalPort(fd);
    for (int k = 0; k < LV_CLIENT_COUNT; k++) {
        int index = ctx_.lvServerIndex + 1 + k;
        if (ctx_.connection[index].fd != -1 && ctx_.lvServer.lvClient[k].port == port) return index;
    }
    return -1;
}

std::string LvServerTest::AddFrame(size_t imageBytes) {
    FrameBufferPool *pFB = &ctx_.frameBuffer;
    if (pFB->receiveIndex == -1) {
        EXPECT_NE(-1, GetNextReceiveFrameBuffer(pFB, -1));
    }
    int index = pFB->receiveIndex;
    frameCount_++;
    std::string head =
        std::string("--") + kBoundary +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(imageBytes) +
        "\r\n\r\n";
    std::string image(imageBytes, '\0');
    for (size_t i = 0; i < imageBytes; i++) {
        image[i] = static_cast<char>((i * 7 + static_cast<size_t>(frameCount_) * 31) & 0xff);
    }
    unsigned char *data = pFB->frames[index].data;
    memcpy(data, head.data(), head.size());
    memcpy(data + head.size(), image.data(), image.size());
    pFB->frames[index].partStart = 0;
    pFB->frames[index].frameSize = static_cast<int32_t>(imageBytes);
    pFB->parsePos = static_cast<int32_t>(head.size());
    pFB->fillLevel = static_cast<int32_t>(head.size() + imageBytes);
    EXPECT_EQ(0, FinishReceivingFrame(pFB));
    EXPECT_NE(-1, GetNextReceiveFrameBuffer(pFB, index)) << "the camera could not go on receiving";
    return head + image + "\r\n";
}

std::string LvServerTest::Receive(int fd, size_t count) {
    std::string got;
    harness::WaitUntil([&] {
        Pass(2);
        char buffer[65536];
        size_t want = count - got.size();
        ssize_t n = recv(fd, buffer, want < sizeof(buffer) ? want : sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
        return got.size() >= count || n == 0;
    });
    return got;
}

bool LvServerTest::WaitClosed(int fd) {
    return harness::WaitUntil([&] {
        Pass(2);
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
}

bool LvServerTest::Logged(const std::string &text) {
    int code;
    std::string record;
    while (queue_->NextLog(&code, &record, std::chrono::milliseconds(0))) logs_.push_back(record);
    for (const std::string &line : logs_) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

int LvServerTest::HeldFrames() {
    int held = 0;
    for (const FrameRecord &frame : ctx_.frameBuffer.frames) held += frame.readers;
    return held;
}

int LocalPort(int fd) {
    struct sockaddr_in address;
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

}  // namespace lvtest
