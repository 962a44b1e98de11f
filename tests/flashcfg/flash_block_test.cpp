// Tests of the block headers and checksums: exact bytes, versions, lengths.
#include "flash_block.h"

#include <gtest/gtest.h>
#include <string.h>

#include "flash_layout.h"

namespace {

FlashHeader Parse(const char *six) {
    FlashHeader header;
    ParseFlashHeader(reinterpret_cast<const unsigned char *>(six), &header);
    return header;
}

TEST(FlashHeader, PutWritesSignatureDigitsAndLittleEndianLength) {
    unsigned char bytes[FLASH_HEADER_SIZE];
    PutFlashHeader(bytes, "DS", 2, 24569);
    const unsigned char want[] = {'D', 'S', '0', '2', 0xf9, 0x5f};
    EXPECT_EQ(0, memcmp(want, bytes, sizeof(want)));
    PutFlashHeader(bytes, "HS", 1, 1018);
    const unsigned char wantHw[] = {'H', 'S', '0', '1', 0xfa, 0x03};
    EXPECT_EQ(0, memcmp(wantHw, bytes, sizeof(wantHw)));
}

TEST(FlashHeader, VersionDigitsReadAsTwoDigitNumber) {
    struct Case {
        const char *six;
        int version;
    } cases[] = {
        {"DS02\xf9\x5f", 2},  {"DS2x\xf9\x5f", 2},    {"DSxx\xf9\x5f", -1},
        {"DS12\xf9\x5f", 12}, {"DS\0\0\xf9\x5f", -1}, {"DS99\xf9\x5f", 99},
    };
    for (const Case &c : cases) EXPECT_EQ(c.version, Parse(c.six).version) << c.six;
    EXPECT_EQ(24569, Parse("DS02\xf9\x5f").length);
    EXPECT_EQ(0xffff, Parse("DS02\xff\xff").length);
}

TEST(FlashHeader, ValidityOfSignatureVersionAndLength) {
    struct Case {
        int kind;
        const char *six;
        int valid;
    } cases[] = {
        {FLASH_BLOCK_CURRENT, "DS02\xf9\x5f", 1},  // 24569
        {FLASH_BLOCK_CURRENT, "DS02\xf8\x5f", 0},  // 24568: one short of SETTINGS_T
        {FLASH_BLOCK_CURRENT, "DS2x\xff\xff", 1}, {FLASH_BLOCK_CURRENT, "DS01\xf9\x5f", 0},
        {FLASH_BLOCK_CURRENT, "HS02\xf9\x5f", 0}, {FLASH_BLOCK_CURRENT, "ds02\xf9\x5f", 0},
        {FLASH_BLOCK_HW, "HS01\xfa\x03", 1},  // 1018
        {FLASH_BLOCK_HW, "HS01\xf9\x03", 0},  // 1017
        {FLASH_BLOCK_HW, "HS02\xfa\x03", 0},      {FLASH_BLOCK_HW, "DS01\xfa\x03", 0},
    };
    for (const Case &c : cases) {
        FlashHeader header = Parse(c.six);
        EXPECT_EQ(c.valid, FlashHeaderValid(c.kind, &header)) << c.kind << " " << c.six;
    }
}

TEST(FlashBlockSum, AddsInEightBits) {
    const unsigned char bytes[] = {0x80, 0x80, 0x01, 0xff};
    EXPECT_EQ(0, FlashBlockSum(bytes, 2));
    EXPECT_EQ(0x01, FlashBlockSum(bytes, 3));
    EXPECT_EQ(0x00, FlashBlockSum(bytes, 4));
    EXPECT_EQ(0, FlashBlockSum(bytes, 0));
}

TEST(FlashLayout, BlocksSitWhereTheDeviceExpectsThem) {
    EXPECT_EQ(0x20000, FLASH_DEVICE_SIZE);
    EXPECT_EQ(0, FlashBlockHeaderOffset(FLASH_BLOCK_CURRENT));
    EXPECT_EQ(0x6000, FlashBlockHeaderOffset(FLASH_BLOCK_HW));
}

}  // namespace
