// Tests of the frame buffer pool: lazy allocation, the reuse order, reader
// counts, sequence numbers and their wrap, and the bytes carried over.
#include "frame_buffer.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace {

const int kBufferSize = 64;

// A pool driven the way the camera parser drives it.
class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, InitFrameBuffer(&pool_, kBufferSize)); }
    void TearDown() override { FreeFrameBuffer(&pool_); }

    // Puts head + image + surplus into the receive buffer as the camera's
    // bytes (after what the buffer already holds), completes the frame and
    // takes the next receive buffer. Returns the index the frame went to.
    int Receive(const std::string &image, const std::string &surplus = "",
                const std::string &head = "--b\r\n\r\n") {
        int index = pool_.receiveIndex;
        FrameRecord &frame = pool_.frames[index];
        std::string bytes = head + image + surplus;
        memcpy(frame.data + pool_.fillLevel, bytes.data(), bytes.size());
        frame.partStart = pool_.fillLevel;
        pool_.parsePos = pool_.fillLevel + static_cast<int32_t>(head.size());
        pool_.fillLevel += static_cast<int32_t>(bytes.size());
        frame.frameSize = static_cast<int32_t>(image.size());
        EXPECT_EQ(0, FinishReceivingFrame(&pool_));
        EXPECT_NE(-1, GetNextReceiveFrameBuffer(&pool_, index));
        return index;
    }

    std::string Part(int index) {
        const FrameRecord &frame = pool_.frames[index];
        return std::string(reinterpret_cast<char *>(frame.data + frame.partStart),
                           static_cast<size_t>(frame.partLength));
    }

    std::string Held() {  // the receive buffer's carried-over bytes
        return std::string(reinterpret_cast<char *>(pool_.frames[pool_.receiveIndex].data),
                           static_cast<size_t>(pool_.fillLevel));
    }

    FrameBufferPool pool_;
};

TEST(PoolInit, RefusesNullPoolAndEmptySize) {
    FrameBufferPool pool;
    EXPECT_EQ(1, InitFrameBuffer(nullptr, 10));
    EXPECT_EQ(1, InitFrameBuffer(&pool, 0));
    EXPECT_EQ(1, InitFrameBuffer(&pool, -3));
    ASSERT_EQ(0, InitFrameBuffer(&pool, 10));
    EXPECT_EQ(-1, pool.receiveIndex);
    for (const FrameRecord &frame : pool.frames) EXPECT_EQ(nullptr, frame.data);
    EXPECT_EQ(-1, GetCurrentReceiveFrameBuffer(nullptr));
    EXPECT_EQ(-1, FinishReceivingFrame(nullptr));
    EXPECT_EQ(-1, FinishReceivingFrame(&pool)) << "no receive buffer yet";
}

TEST_F(PoolTest, FirstReceiveBufferIsAllocatedEmpty) {
    EXPECT_EQ(nullptr, pool_.frames[0].data);
    EXPECT_EQ(0, GetNextReceiveFrameBuffer(&pool_, -1));
    EXPECT_NE(nullptr, pool_.frames[0].data);
    EXPECT_EQ(0, pool_.fillLevel);
    EXPECT_EQ(0, pool_.parsePos);
    EXPECT_EQ(0, GetCurrentReceiveFrameBuffer(&pool_));
    for (int i = 1; i < FRAME_BUFFER_COUNT; i++) EXPECT_EQ(nullptr, pool_.frames[i].data);
}

TEST_F(PoolTest, WithoutClientsTwoBuffersAlternate) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    const int expected[] = {0, 1, 0, 1, 0};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(expected[i], Receive("img" + std::to_string(i)));
        EXPECT_EQ(static_cast<uint32_t>(i + 1), pool_.frames[expected[i]].sequence);
        EXPECT_EQ(0u, pool_.frames[pool_.receiveIndex].sequence) << "receive buffer is not offered";
    }
    EXPECT_EQ(nullptr, pool_.frames[2].data);
}

TEST_F(PoolTest, CompleteFrameIsItsPartPlusCrlf) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    int index = Receive("JPEG", "\r\n--b\r\nCon", "--b\r\nContent-Length: 4\r\n\r\n");
    EXPECT_EQ("--b\r\nContent-Length: 4\r\n\r\nJPEG\r\n", Part(index));
    EXPECT_EQ("\r\n--b\r\nCon", Held()) << "the bytes after the image are carried over";
}

// The CRLF is written over the camera's first bytes after the image; the
// carried-over copy must still hold the camera's bytes.
TEST_F(PoolTest, SurplusKeepsTheBytesUnderTheCrlf) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    int index = Receive("JPEG", "--b\r\nNext");
    EXPECT_EQ("--b\r\n\r\nJPEG\r\n", Part(index));
    EXPECT_EQ("--b\r\nNext", Held());
    Receive("X", "Z");
    EXPECT_EQ("Z", Held());
}

// Two spare bytes per buffer hold the CRLF of an image that ends the buffer.
TEST_F(PoolTest, ImageEndingTheBufferStillGetsItsCrlf) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    std::string image(kBufferSize - 7, 'i');
    int index = Receive(image);
    EXPECT_EQ(kBufferSize, pool_.frames[index].partLength - 2);
    EXPECT_EQ("--b\r\n\r\n" + image + "\r\n", Part(index));
    EXPECT_EQ(0, pool_.fillLevel);
}

TEST_F(PoolTest, ImageOutsideTheBufferIsNotCompleted) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    pool_.parsePos = 10;
    pool_.frames[0].frameSize = kBufferSize - 9;
    pool_.fillLevel = kBufferSize;
    EXPECT_EQ(-1, FinishReceivingFrame(&pool_));
    pool_.frames[0].frameSize = -1;
    EXPECT_EQ(-1, FinishReceivingFrame(&pool_));
    EXPECT_EQ(0u, pool_.lastSequence);
}

TEST_F(PoolTest, HeldFrameIsSkippedAndAThirdBufferAllocated) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    Receive("a");  // frame 1 in buffer 0
    int sent = GetNextSendFrameBuffer(&pool_, 0);
    ASSERT_EQ(0, sent);
    EXPECT_EQ(1, pool_.frames[0].readers);
    EXPECT_EQ(1, Receive("b"));  // frame 2 in buffer 1; buffer 0 is held
    EXPECT_EQ(2, pool_.receiveIndex);
    EXPECT_EQ(2, Receive("c"));
    EXPECT_EQ(1, pool_.receiveIndex) << "buffer 1 holds the oldest unheld frame";
    EXPECT_EQ(0, FinishSendingFrame(&pool_, sent));
    EXPECT_EQ(0, pool_.frames[0].readers);
    EXPECT_EQ(1, Receive("d"));
    EXPECT_EQ(0, pool_.receiveIndex) << "released frame 1 is now the oldest";
    EXPECT_EQ(nullptr, pool_.frames[3].data);
}

TEST_F(PoolTest, WhenEveryOtherBufferIsHeldTheReceiveBufferIsReused) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    uint32_t last = 0;
    for (int i = 0; i < FRAME_BUFFER_COUNT - 1; i++) {
        Receive("f" + std::to_string(i));
        int sent = GetNextSendFrameBuffer(&pool_, last);
        ASSERT_NE(-1, sent);
        last = pool_.frames[sent].sequence;
    }
    int receive = pool_.receiveIndex;
    EXPECT_EQ(FRAME_BUFFER_COUNT - 1, receive);
    EXPECT_EQ(receive, Receive("last", "--b\r\nrest"));
    EXPECT_EQ(receive, pool_.receiveIndex);
    EXPECT_EQ("--b\r\nrest", Held()) << "surplus moved to the start of the same buffer";
}

TEST_F(PoolTest, NoBufferLeftIsAnError) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    uint32_t last = 0;
    for (int i = 0; i < FRAME_BUFFER_COUNT - 1; i++) {
        Receive("f");
        int sent = GetNextSendFrameBuffer(&pool_, last);
        ASSERT_NE(-1, sent);
        last = pool_.frames[sent].sequence;
    }
    // A client still holds the sixth buffer as well (it is not receiving).
    pool_.frames[pool_.receiveIndex].readers = 1;
    EXPECT_EQ(-1, GetNextReceiveFrameBuffer(&pool_, -1));
    EXPECT_EQ(-1, GetNextReceiveFrameBuffer(&pool_, 7));
}

TEST_F(PoolTest, ClientGetsTheNewestFrame) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    int held[2];
    for (int i = 0; i < 4; i++) Receive("f");  // frames 1..4
    held[0] = GetNextSendFrameBuffer(&pool_, 0);
    EXPECT_EQ(4u, pool_.frames[held[0]].sequence);
    EXPECT_EQ(-1, GetNextSendFrameBuffer(&pool_, 4)) << "nothing newer than 4";
    for (int i = 0; i < 4; i++) Receive("f");  // frames 5..8
    held[1] = GetNextSendFrameBuffer(&pool_, 5);
    ASSERT_NE(-1, held[1]);
    EXPECT_EQ(8u, pool_.frames[held[1]].sequence);
    EXPECT_EQ(1, pool_.frames[held[1]].readers);
    for (int index : held) EXPECT_EQ(0, FinishSendingFrame(&pool_, index));
}

TEST_F(PoolTest, SequenceWrapsToOneNeverZero) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    pool_.lastSequence = UINT32_MAX - 1;
    for (uint32_t expected : {UINT32_MAX, 1u, 2u}) {
        int index = Receive("f");
        EXPECT_EQ(expected, pool_.frames[index].sequence);
        EXPECT_EQ(expected, pool_.lastSequence);
    }
}

TEST_F(PoolTest, NewestFrameAcrossTheWrap) {
    // Frames 2^32-2, 2^32-1, 1, 2, 3 while clients hold each one.
    GetNextReceiveFrameBuffer(&pool_, -1);
    pool_.lastSequence = UINT32_MAX - 2;
    uint32_t last = UINT32_MAX - 6;
    for (int i = 0; i < 5; i++) {
        Receive("f");
        int sent = GetNextSendFrameBuffer(&pool_, last);
        ASSERT_NE(-1, sent);
        last = pool_.frames[sent].sequence;
    }
    for (int i = 0; i < FRAME_BUFFER_COUNT; i++) {
        while (pool_.frames[i].readers > 0) FinishSendingFrame(&pool_, i);
    }
    int newest = GetNextSendFrameBuffer(&pool_, UINT32_MAX - 5);
    ASSERT_NE(-1, newest);
    EXPECT_EQ(3u, pool_.frames[newest].sequence);
    // Frames from before the wrap are older than 3, not newer.
    EXPECT_EQ(-1, GetNextSendFrameBuffer(&pool_, 3));
    for (uint32_t after : {1u, UINT32_MAX - 1}) {
        int index = GetNextSendFrameBuffer(&pool_, after);
        ASSERT_NE(-1, index);
        EXPECT_EQ(3u, pool_.frames[index].sequence) << "after " << after;
        FinishSendingFrame(&pool_, index);
    }
}

TEST_F(PoolTest, ResetForgetsFramesButKeepsMemory) {
    GetNextReceiveFrameBuffer(&pool_, -1);
    Receive("a");
    Receive("b");
    ResetFrameBuffer(&pool_);
    EXPECT_EQ(-1, GetNextSendFrameBuffer(&pool_, 0));
    EXPECT_NE(nullptr, pool_.frames[1].data);
    EXPECT_EQ(0, GetNextReceiveFrameBuffer(&pool_, -1)) << "reuse, no allocation";
    EXPECT_EQ(nullptr, pool_.frames[2].data);
}

TEST_F(PoolTest, FinishSendingRefusesIndicesOutsideThePool) {
    EXPECT_EQ(-1, FinishSendingFrame(&pool_, FRAME_BUFFER_COUNT));
    EXPECT_EQ(-1, FinishSendingFrame(&pool_, -1));
    EXPECT_EQ(-1, FinishSendingFrame(nullptr, 0));
    EXPECT_EQ(0, FinishSendingFrame(&pool_, 0));
    EXPECT_EQ(0, pool_.frames[0].readers) << "never below zero";
}

}  // namespace
