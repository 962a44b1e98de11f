// Tests of the settings store: initialisation, reload, every value type,
// lists, refused images with their messages, and the lock counters.
#include "flash_settings.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "flash_layout.h"
#include "flash_mirror.h"
#include "flash_test_support.h"

namespace {

using flashtest::FlashImage;
using flashtest::Id;

class FlashSettings : public flashtest::FlashDeviceTest {
  protected:
    // Leaves the store uninitialised for a next test run in this process:
    // a reload from an empty device fails.
    void TearDown() override {
        if (harness::FileExists(DevicePath())) {
            WriteDevice(std::vector<unsigned char>());
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            FlashSettingsReload();
            testing::internal::GetCapturedStderr();
            testing::internal::GetCapturedStdout();
        }
        FlashDeviceTest::TearDown();
    }
    // Runs FlashSettingsInit with standard output captured.
    int Init(std::string *printed = nullptr) {
        testing::internal::CaptureStdout();
        int result = FlashSettingsInit();
        std::string out = testing::internal::GetCapturedStdout();
        if (printed) *printed = out;
        return result;
    }
    int32_t GetInt(int id) {
        int32_t value = 0;
        EXPECT_EQ(1, FlashSettingsGet(id, &value)) << id;
        return value;
    }
    std::vector<unsigned char> GetBytes(int id, size_t size, unsigned char first = 0) {
        std::vector<unsigned char> value(size, 0xee);
        value[0] = first;
        EXPECT_EQ(1, FlashSettingsGet(id, value.data())) << id;
        return value;
    }
};

TEST_F(FlashSettings, NothingIsFoundBeforeInitialisation) {
    int32_t value = 77;
    EXPECT_EQ(0, FlashSettingsGet(402, &value));
    EXPECT_EQ(77, value);
    EXPECT_EQ(0, FlashSettingsReload());
    EXPECT_EQ(nullptr, FlashMirror());
}

TEST_F(FlashSettings, NumbersBecomeIntegers) {
    FlashImage image;
    image.SetNumber(402, 0xfe);                             // EMAIL_LANGUAGE, type 0
    image.SetNumber(355, 0xbeef);                           // MEDIA_RESCAN_INTERVAL, type 1
    image.SetNumber(Id("LAN_LEASE_TIME"), 0x89abcdef);      // type 20
    image.SetNumber(Id("MAX_DOWNLOAD_BANDWIDTH"), 100000);  // type 22
    image.SetNumber(Id("NAS_RESERVED"), 7);                 // type 23
    image.SetNumber(124, 9);                                // HW_BOARD_ID, hardware block
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    EXPECT_EQ(0xfe, GetInt(402));
    EXPECT_EQ(0xbeef, GetInt(355));
    EXPECT_EQ(static_cast<int32_t>(0x89abcdef), GetInt(Id("LAN_LEASE_TIME")));
    EXPECT_EQ(100000, GetInt(Id("MAX_DOWNLOAD_BANDWIDTH")));
    EXPECT_EQ(7, GetInt(Id("NAS_RESERVED")));
    EXPECT_EQ(9, GetInt(124));
}

TEST_F(FlashSettings, ValuesAreReadFromTheirFixedDeviceOffsets) {
    std::vector<unsigned char> bytes = FlashImage().Bytes();
    bytes[6 + 24191] = 3;     // EMAIL_LANGUAGE
    bytes[6 + 22529] = 0x34;  // MEDIA_RESCAN_INTERVAL, little-endian
    bytes[6 + 22530] = 0x12;
    memcpy(&bytes[6 + 685], "admin", 6);  // USER_NAME
    bytes[0x6006 + 201] = 0x42;           // HW_INIT_GAIN
    bytes[6 + 24568] = static_cast<unsigned char>(bytes[6 + 24568] - 3 - 0x34 - 0x12 - 'a' - 'd' -
                                                  'm' - 'i' - 'n');
    bytes[0x6006 + 1017] = static_cast<unsigned char>(bytes[0x6006 + 1017] - 0x42);
    WriteDevice(bytes);
    ASSERT_EQ(1, Init());
    EXPECT_EQ(3, GetInt(402));
    EXPECT_EQ(0x1234, GetInt(355));
    EXPECT_EQ(0x42, GetInt(135));
    EXPECT_STREQ("admin", reinterpret_cast<const char *>(GetBytes(50, 31).data()));
}

TEST_F(FlashSettings, TextsAndRawBytesAreCopied) {
    FlashImage image;
    image.SetText(359, "/nasext/main/Music");  // ITUNES_MUSIC_DIR
    image.SetBytes(Id("WAN_MAC_ADDR"), {0, 1, 2, 3, 4, 5});
    image.SetBytes(Id("WAN_IP_ADDR"), {192, 168, 1, 2});
    image.SetBytes(Id("WEP64_KEY1"), {1, 2, 3, 4, 5});
    std::vector<unsigned char> ofdm(162);
    for (int i = 0; i < 162; i++) ofdm[i] = static_cast<unsigned char>(i);
    image.SetBytes(131, ofdm);  // HW_TX_POWER_OFDM
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    std::vector<unsigned char> text = GetBytes(359, 255);
    EXPECT_STREQ("/nasext/main/Music", reinterpret_cast<const char *>(text.data()));
    EXPECT_EQ(0xee, text[19]);  // the text and its NUL, nothing more
    EXPECT_EQ((std::vector<unsigned char>{0, 1, 2, 3, 4, 5}), GetBytes(Id("WAN_MAC_ADDR"), 6));
    EXPECT_EQ((std::vector<unsigned char>{192, 168, 1, 2}), GetBytes(Id("WAN_IP_ADDR"), 4));
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3, 4, 5}), GetBytes(Id("WEP64_KEY1"), 5));
    EXPECT_EQ(ofdm, GetBytes(131, 162));
}

// A stored text that fills its row without a NUL is cut so that the caller
// gets a terminated text of at most size bytes.
TEST_F(FlashSettings, TextWithoutNulIsCutToItsRow) {
    FlashImage image;
    memset(image.At(366), 'x', 3);  // FTP_CLIENT_LANG, size 3
    image.At(366)[3] = 'y';         // the next byte must not leak in
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    std::vector<unsigned char> value = GetBytes(366, 3);
    EXPECT_STREQ("xx", reinterpret_cast<const char *>(value.data()));
}

TEST_F(FlashSettings, UnknownIdentifierLeavesTheBufferAlone) {
    WriteDevice(FlashImage());
    ASSERT_EQ(1, Init());
    for (int id : {0, -5, 1124, 411}) {
        int32_t value = 77;
        EXPECT_EQ(0, FlashSettingsGet(id, &value)) << id;
        EXPECT_EQ(77, value);
    }
    EXPECT_EQ(0, FlashSettingsGet(402, nullptr));
}

TEST_F(FlashSettings, ListEntriesComeInStoredOrder) {
    FlashImage image;
    std::vector<unsigned char> first(26, 0x11), second(26, 0x22);
    image.AddEntry(69, first);  // PORTFW_TBL
    image.AddEntry(69, second);
    std::vector<unsigned char> qos(137, 0x99);
    for (int i = 0; i < 16; i++) image.AddEntry(99, qos);  // WAN1_QOS_TBL, full
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    EXPECT_EQ(2, GetInt(68));
    EXPECT_EQ(first, GetBytes(69, 26, 1));
    EXPECT_EQ(second, GetBytes(69, 26, 2));
    EXPECT_EQ(first, GetBytes(69, 26, 0));  // 0 counts as the first entry
    std::vector<unsigned char> buffer(26, 3);
    EXPECT_EQ(0, FlashSettingsGet(69, buffer.data()));
    EXPECT_EQ(std::vector<unsigned char>(26, 3), buffer);
    EXPECT_EQ(qos, GetBytes(99, 137, 16));
    buffer.assign(137, 17);
    EXPECT_EQ(0, FlashSettingsGet(99, buffer.data()));
    // An empty list has no first entry either.
    for (unsigned char n : {0, 1}) {
        std::vector<unsigned char> dmz(10, n);
        EXPECT_EQ(0, FlashSettingsGet(167, dmz.data())) << int(n);
    }
}

TEST_F(FlashSettings, CountAboveCapacityFailsInitialisation) {
    WriteDevice(FlashImage());
    ASSERT_EQ(1, Init());
    for (int list : {44, 75, 99}) {
        FlashImage image;
        const SettingListShape *shape = FindSettingListShape(FindSettingRow(list, nullptr)->type);
        image.SetNumber(shape->countId, shape->capacity + 1);
        WriteDevice(image);
        EXPECT_EQ(0, FlashSettingsReload()) << list;
        int32_t value = 0;
        EXPECT_EQ(0, FlashSettingsGet(402, &value));
        image.SetNumber(shape->countId, shape->capacity);
        WriteDevice(image);
        EXPECT_EQ(1, Init()) << list;
        EXPECT_EQ(shape->capacity, GetInt(shape->countId));
    }
}

TEST_F(FlashSettings, RefusedBlocksPrintTheirReason) {
    struct Case {
        const char *what;
        void (*spoil)(FlashImage *);
        const char *printed;
    } cases[] = {
        {"current length 24568", [](FlashImage *i) { i->SetHeader(1, "DS", "02", 24568); },
         "Invalid default setting signature or version number [sig=DS, ver=2, len=24568, "
         "SETTINGS_T=24569]!\n"},
        {"current signature", [](FlashImage *i) { i->SetHeader(1, "XS", "02", 24569); },
         "Invalid default setting signature or version number [sig=XS, ver=2, len=24569, "
         "SETTINGS_T=24569]!\n"},
        {"current version", [](FlashImage *i) { i->SetHeader(1, "DS", "xy", 24569); },
         "Invalid default setting signature or version number [sig=DS, ver=-1, len=24569, "
         "SETTINGS_T=24569]!\n"},
        {"hw length 1017", [](FlashImage *i) { i->SetHeader(0, "HS", "01", 1017); },
         "Invalid hw setting signature or version number [sig=HS, ver=1, len=1017]!\n"},
        {"hw version", [](FlashImage *i) { i->SetHeader(0, "HS", "02", 1018); },
         "Invalid hw setting signature or version number [sig=HS, ver=2, len=1018]!\n"},
        {"current checksum",
         [](FlashImage *i) {
             i->SetSealed(false);
             i->SetNumber(402, 1);
         },
         "Invalid checksum of current setting!\n"},
        {"hw checksum",
         [](FlashImage *i) {
             i->SetSealed(false);
             i->SetNumber(124, 1);
         },
         "Invalid checksum of hw setting!\n"},
    };
    for (const Case &c : cases) {
        FlashImage image;
        c.spoil(&image);
        WriteDevice(image);
        std::string printed;
        EXPECT_EQ(0, Init(&printed)) << c.what;
        EXPECT_EQ(c.printed, printed) << c.what;
        int32_t value = 0;
        EXPECT_EQ(0, FlashSettingsGet(124, &value)) << c.what;
    }
}

// Versions "2x" and a current block longer than SETTINGS_T (up to the
// 16-bit limit, still inside the device) are accepted.
TEST_F(FlashSettings, LongerBlocksAndLooseVersionDigitsAreAccepted) {
    FlashImage image;
    image.SetHeader(1, "DS", "2x", 0xffff);
    image.SetHeader(0, "HS", "01", 0x6000);
    image.SetNumber(402, 5);
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    EXPECT_EQ(5, GetInt(402));
}

TEST_F(FlashSettings, ShortOrMissingDeviceFailsWithoutReadingPastIt) {
    std::vector<unsigned char> bytes = FlashImage().Bytes();
    for (size_t size : {size_t(0), size_t(5), size_t(0x6000 + 6 + 500), bytes.size() - 1}) {
        WriteDevice(std::vector<unsigned char>(bytes.begin(), bytes.begin() + size));
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, Init()) << size;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find("MakeFlashMirror:read")) << err;
    }
    unlink(DevicePath().c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, Init());
    testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, MakeFlashMirror());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("ftok"));
}

TEST_F(FlashSettings, SecondInitOnlyTakesTheMirrorAgain) {
    FlashImage image;
    image.SetNumber(402, 1);
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    image.SetNumber(402, 2);
    WriteDevice(image);
    EXPECT_EQ(1, Init());
    EXPECT_EQ(1, GetInt(402));  // blocks not read again
    ASSERT_NE(nullptr, FlashMirror());
    EXPECT_EQ(2, FlashMirror()[flashtest::DeviceOffset(402)]);
    EXPECT_EQ(0, memcmp(image.Bytes().data(), FlashMirror(), FLASH_DEVICE_SIZE));
}

TEST_F(FlashSettings, ReloadSeesChangedSettings) {
    FlashImage image;
    image.SetNumber(402, 1);
    WriteDevice(image);
    ASSERT_EQ(1, Init());
    image.SetNumber(402, 2);
    image.AddEntry(167, std::vector<unsigned char>(10, 5));
    WriteDevice(image);
    EXPECT_EQ(1, FlashSettingsReload());
    EXPECT_EQ(2, GetInt(402));
    EXPECT_EQ(std::vector<unsigned char>(10, 5), GetBytes(167, 10, 1));
    // A spoiled device leaves the store uninitialised; Reload then stays 0.
    image.SetHeader(1, "DS", "02", 100);
    WriteDevice(image);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, FlashSettingsReload());
    EXPECT_EQ(0, FlashSettingsReload());
    testing::internal::GetCapturedStdout();
    int32_t value = 0;
    EXPECT_EQ(0, FlashSettingsGet(402, &value));
}

TEST_F(FlashSettings, EveryReadLeavesTheLockCountersWhereTheyWere) {
    WriteDevice(FlashImage());
    flashtest::SetCounters(key, 3, 0);  // three other readers at work
    ASSERT_EQ(1, Init());
    EXPECT_EQ(3, Lock().readers);
    EXPECT_EQ(1, FlashSettingsReload());
    EXPECT_EQ(1, Init());
    GetInt(402);
    flashtest::LockState state = Lock();
    EXPECT_EQ(0, state.guard);
    EXPECT_EQ(3, state.readers);
    EXPECT_EQ(0, state.writers);
}

}  // namespace
