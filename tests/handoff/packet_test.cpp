// packet_test.cpp -- the hand-off packet codec: headers, fields, every cut payload.
#include <gtest/gtest.h>

#include "handoff_packet.h"
#include "handoff_test_support.h"

using namespace handofftest;

namespace {

TEST(PacketTest, HeaderBytes) {
    unsigned char h[5] = {0x8A, 0x00, 0x01, 0x02, 0x03};
    HandoffHeader header;
    DecodeHandoffHeader(h, &header);
    EXPECT_EQ(1, header.report);
    EXPECT_EQ(10, header.code);
    EXPECT_EQ(0x00010203u, header.length);
    unsigned char out[5];
    EncodeHandoffHeader(out, 0, 3, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes({0x03, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes(out, out + 5));
}

TEST(PacketTest, ReplyFields) {
    std::vector<unsigned char> p;
    PacketPutByte(&p, 0x8D);
    PacketPutInt(&p, 0x01020304);
    PacketPutString(&p, "ab");
    EXPECT_EQ(Bytes({0x8D, 1, 2, 3, 4, 0, 0, 0, 2, 'a', 'b'}), p);
}

struct GoodCase {
    int code;
    Bytes payload;
};

TEST(PacketTest, EveryCutPayloadIsMalformed) {
    const GoodCase cases[] = {
        {1, LoginPayload("alice", "wonder")},
        {3, Cat({Str("alice"), Str("file"), Int(10), Str("folder")})},
        {4, Cat({Str("/mnt/USB5/C:/x"), Str("123")})},
        {5, Str("123")},
        {6, Cat({Str("123"), Int(5)})},
        {7, Str("1")},
        {8, Str("1")},
        {9, Str("1")},
        {10, Str("alice")},
        {11, Str("1")},
    };
    for (const GoodCase &c : cases) {
        HandoffRequest q;
        EXPECT_EQ(0, ParseHandoffRequest(c.code, c.payload.data(), c.payload.size(), &q));
        for (size_t cut = 0; cut < c.payload.size(); cut++) {
            Bytes part(c.payload.begin(), c.payload.begin() + static_cast<long>(cut));
            EXPECT_EQ(1, ParseHandoffRequest(c.code, part.data(), part.size(), &q))
                << "code " << c.code << " cut " << cut;
        }
    }
}

TEST(PacketTest, FieldsAreReadInOrder) {
    Bytes p = Cat({Str("alice"), Str("my file"), Int(300), Str("folder")});
    HandoffRequest q;
    ASSERT_EQ(0, ParseHandoffRequest(3, p.data(), p.size(), &q));
    EXPECT_EQ("alice", q.user);
    EXPECT_EQ("my file", q.fileName);
    EXPECT_EQ(300u, q.size);
    EXPECT_EQ("folder", q.type);
    p = Cat({Str("id"), Int(0)});
    EXPECT_EQ(1, ParseHandoffRequest(6, p.data(), p.size(), &q));  // total 0
}

TEST(PacketTest, LengthsRunningPastThePayload) {
    for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u, 6u}) {
        Bytes p = Cat({Int(n), Bytes({'a', 'b', 'c', 'd', 'e'})});
        HandoffRequest q;
        EXPECT_EQ(1, ParseHandoffRequest(10, p.data(), p.size(), &q)) << n;
    }
    Bytes empty = Str("");
    HandoffRequest q;
    EXPECT_EQ(0, ParseHandoffRequest(10, empty.data(), empty.size(), &q));
    EXPECT_EQ("", q.user);
}

TEST(PacketTest, NulEndsAString) {
    Bytes p = Str(std::string("ali\0ce", 6));
    HandoffRequest q;
    ASSERT_EQ(0, ParseHandoffRequest(10, p.data(), p.size(), &q));
    EXPECT_EQ("ali", q.user);
}

TEST(PacketTest, IgnoredPayloadsAndUnknownCodes) {
    HandoffRequest q;
    EXPECT_EQ(0, ParseHandoffRequest(2, nullptr, 0, &q));
    EXPECT_EQ(0, ParseHandoffRequest(13, nullptr, 0, &q));
    for (int code : {0, 12, 14, 127}) {
        EXPECT_EQ(-1, ParseHandoffRequest(code, nullptr, 0, &q)) << code;
        EXPECT_EQ(nullptr, HandoffBadPacketMessage(code));
    }
    EXPECT_STREQ("Bad packet of comamnd delete_shared_files!", HandoffBadPacketMessage(9));
}

}  // namespace
