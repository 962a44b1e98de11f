// Tests of the flashcfg tool: make and get round trips of every row type,
// dump, refused settings files, usage and unreadable devices.
#include <gtest/gtest.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "flash_layout.h"
#include "flash_tables.h"
#include "flash_test_support.h"
#include "harness.h"
#include "shell.h"

namespace {

std::string Quote(const std::string &text) {
    char word[4096];
    EXPECT_EQ(0, ShellQuote(word, sizeof(word), text.c_str()));
    return word;
}

std::string Hex(int size, int seed) {
    std::string hex;
    char byte[3];
    for (int i = 0; i < size; i++) {
        snprintf(byte, sizeof(byte), "%02x", (seed + i * 7) & 0xff);
        hex += byte;
    }
    return hex;
}

// A text form for a row of each type, as the tool prints it back.
std::vector<std::string> SampleValues(const SettingRow *row) {
    switch (row->type) {
        case SETTING_BYTE:
            return {"200"};
        case SETTING_WORD:
            return {"54321"};
        case SETTING_UINT32:
        case SETTING_UINT32_B:
        case SETTING_UINT32_C:
            return {"4000000000"};
        case SETTING_TEXT:
            return {std::string("v=") + row->name + " x"};
        case SETTING_IPV4:
            return {"10.1.2.3"};
        case SETTING_BYTES6:
            return {"02:03:04:05:06:0a"};
        case SETTING_BYTES5:
        case SETTING_BYTES13:
        case SETTING_BYTES16:
        case SETTING_BYTE_ARRAY:
            return {Hex(row->size, row->id)};
        default: {
            const SettingListShape *shape = FindSettingListShape(row->type);
            std::vector<std::string> entries;
            for (int e = 0; e < std::min(shape->capacity, 3); e++) {
                entries.push_back(Hex(shape->entrySize, row->id + 50 * e));
            }
            return entries;
        }
    }
}

class FlashcfgTool : public flashtest::FlashDeviceTest {
  protected:
    // Writes a settings file and runs make into the device; returns the status.
    int Make(const std::string &settings, std::string *err = nullptr) {
        std::string path = root.Write("settings.txt", settings);
        std::string out, errText;
        int status =
            RunTool("flashcfg make " + Quote(path) + " " + Quote(DevicePath()), &out, &errText);
        EXPECT_EQ("", out);
        if (err) *err = errText;
        return status;
    }
    std::string Get(const std::string &name, int *status = nullptr) {
        std::string out, err;
        int s = RunTool("flashcfg get " + Quote(name), &out, &err);
        if (status)
            *status = s;
        else
            EXPECT_EQ(0, s) << name << ": " << err;
        return out;
    }
};

// One row of every value type (and every hardware row), made into an image
// and read back by name and by identifier.
TEST_F(FlashcfgTool, MakeAndGetRoundTripEveryRowType) {
    std::map<int, const SettingRow *> rowOfType;
    for (const SettingRow *row = kCurrentSettingRows; row->id != 0; row++) {
        if (!rowOfType.count(row->type)) rowOfType[row->type] = row;
    }
    std::vector<const SettingRow *> rows;
    for (const auto &entry : rowOfType) rows.push_back(entry.second);
    for (const SettingRow *row = kHwSettingRows; row->id != 0; row++) rows.push_back(row);
    ASSERT_EQ(24u + 13u, rows.size());

    std::string settings = "# every type\n\n";
    for (const SettingRow *row : rows) {
        for (const std::string &value : SampleValues(row))
            settings += std::string(row->name) + "=" + value + "\n";
    }
    ASSERT_EQ(0, Make(settings));
    for (const SettingRow *row : rows) {
        std::string want;
        for (const std::string &value : SampleValues(row)) want += value + "\n";
        EXPECT_EQ(want, Get(row->name)) << row->name;
        EXPECT_EQ(want, Get(std::to_string(row->id))) << row->name;
    }
    const SettingListShape *dmz = FindSettingListShape(SETTING_LIST_DMZ);
    EXPECT_EQ("3\n", Get(FindSettingRow(dmz->countId, nullptr)->name));
    EXPECT_EQ("0\n", Get("EMAIL_ENABLE"));  // not named: zero
    EXPECT_EQ("\n", Get("SSID"));
}

// The image's headers and sums, checked byte by byte.
TEST_F(FlashcfgTool, MakeWritesHeadersAndZeroSums) {
    ASSERT_EQ(0, Make("EMAIL_LANGUAGE=7\nHW_BOARD_ID=9\nUSER_NAME=admin\n"));
    std::string image = harness::ReadFile(DevicePath());
    ASSERT_EQ(size_t(FLASH_DEVICE_SIZE), image.size());
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(image.data());
    EXPECT_EQ(std::string("DS02\xf9\x5f", 6), image.substr(0, 6));
    EXPECT_EQ(std::string("HS01\xfa\x03", 6), image.substr(0x6000, 6));
    unsigned char sum = 0;
    for (int i = 0; i < 24569; i++) sum = static_cast<unsigned char>(sum + bytes[6 + i]);
    EXPECT_EQ(0, sum);
    for (int i = 0; i < 1018; i++) sum = static_cast<unsigned char>(sum + bytes[0x6006 + i]);
    EXPECT_EQ(0, sum);
    EXPECT_EQ(7, bytes[6 + 24191]);
    EXPECT_EQ(9, bytes[0x6006]);
    EXPECT_EQ("admin", image.substr(6 + 685, 5));
    EXPECT_EQ('\0', image[6 + 690]);
}

TEST_F(FlashcfgTool, DumpFeedsMakeAndGivesTheSameImage) {
    ASSERT_EQ(0, Make("EMAIL_LANGUAGE=7\nSSID=my net\nPORTFW_TBL_NUM=1\nPORTFW_TBL=" + Hex(26, 1) +
                      "\nHW_NIC0_ADDR=00:01:02:03:04:05\nWAN_IP_ADDR=1.2.3.4\n"));
    std::string first = harness::ReadFile(DevicePath());
    std::string out, err;
    ASSERT_EQ(0, RunTool("flashcfg dump", &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("\nSSID=my net\n"));
    EXPECT_NE(std::string::npos, out.find("\nPORTFW_TBL_NUM=1\nPORTFW_TBL=" + Hex(26, 1) + "\n"));
    EXPECT_NE(std::string::npos, out.find("\nHW_INIT_GAIN=0\n"));
    EXPECT_EQ(0u, out.find("DHCP_CLIENT_START=0.0.0.0\n"));
    ASSERT_EQ(0, Make(out));
    EXPECT_EQ(first, harness::ReadFile(DevicePath()));
}

TEST_F(FlashcfgTool, BadSettingsFilesAreRefusedWithTheirLine) {
    struct Case {
        std::string settings, message;
    } cases[] = {
        {"NOPE=1\n", "settings.txt:1: unknown setting NOPE\n"},
        {"# c\nEMAIL_LANGUAGE\n", "settings.txt:2: expected NAME=value\n"},
        {"EMAIL_LANGUAGE=300\n", "settings.txt:1: EMAIL_LANGUAGE: needs a number from 0 to 255\n"},
        {"EMAIL_LANGUAGE=1\nEMAIL_LANGUAGE=2\n", "settings.txt:2: EMAIL_LANGUAGE is set twice\n"},
        {"FTP_CLIENT_LANG=abc\n",
         "settings.txt:1: FTP_CLIENT_LANG: text longer than 2 characters\n"},
        {"IPFILTER_TBL=" + Hex(22, 0) + "\nIPFILTER_TBL=" + Hex(22, 0) + "\n",
         "settings.txt:2: IPFILTER_TBL holds at most 1 entries\n"},
        {"DMZ_TBL_NUM=2\nDMZ_TBL=" + Hex(10, 0) + "\n",
         "settings.txt:1: DMZ_TBL_NUM=2 but DMZ_TBL has 1 entries\n"},
        {"HW_NIC0_ADDR=00:01\n", "settings.txt:1: HW_NIC0_ADDR: needs 6 bytes in hex\n"},
        {std::string("SSID=a\0b\n", 9), "settings.txt:1: NUL character in the line\n"},
    };
    for (const Case &c : cases) {
        std::string err;
        EXPECT_EQ(1, Make(c.settings, &err)) << c.message;
        EXPECT_EQ("flashcfg: " + root.At(c.message), err);
        EXPECT_EQ("", harness::ReadFile(DevicePath())) << "nothing written for " << c.message;
    }
}

TEST_F(FlashcfgTool, UsageAndUnknownSettings) {
    std::string out, err;
    for (const char *line :
         {"flashcfg", "flashcfg get", "flashcfg make a", "flashcfg frob x", "flashcfg dump x"}) {
        EXPECT_EQ(2, RunTool(line, &out, &err)) << line;
        EXPECT_EQ("", out);
        EXPECT_EQ(0u, err.find("usage: flashcfg make SETTINGS.txt IMAGE\n")) << err;
    }
    EXPECT_EQ(0, RunTool("flashcfg -h", &out, &err));
    EXPECT_EQ(0u, out.find("usage: "));
    for (const char *name : {"NOPE", "411", "0", "99999999999999"}) {
        EXPECT_EQ(1, RunTool(std::string("flashcfg get ") + name, &out, &err)) << name;
        EXPECT_EQ(std::string("flashcfg: unknown setting ") + name + "\n", err);
    }
    EXPECT_EQ(1, RunTool("flashcfg make " + Quote(root.At("none.txt")) + " x", &out, &err));
    EXPECT_EQ(0u, err.find("flashcfg: cannot open " + root.At("none.txt") + ": ")) << err;
}

TEST_F(FlashcfgTool, UnreadableDevicesFailWithTheStoreMessage) {
    ASSERT_EQ(0, Make("EMAIL_LANGUAGE=1\n"));
    std::string image = harness::ReadFile(DevicePath());
    image[6 + 24191] = 2;  // sum no longer 0
    root.Write("dev/mtd", image);
    std::string out, err;
    EXPECT_EQ(1, RunTool("flashcfg get EMAIL_LANGUAGE", &out, &err));
    EXPECT_EQ("Invalid checksum of current setting!\n", out);
    EXPECT_EQ("flashcfg: cannot read the settings from " + DevicePath() + "\n", err);

    root.Write("dev/mtd", image.substr(0, 1000));
    EXPECT_EQ(1, RunTool("flashcfg dump", &out, &err));
    EXPECT_EQ("", out);
    EXPECT_NE(std::string::npos, err.find("MakeFlashMirror:read: ")) << err;
}

}  // namespace
