// Tests of the tool's text forms: parsing each value type into its stored
// bytes, refusing bad text, and printing what the store returns.
#include "flashcfg_values.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "flash_tables.h"

namespace {

const SettingRow *Row(const char *name) {
    const SettingRow *row = FindSettingRowByName(name, nullptr);
    if (row == nullptr) ADD_FAILURE() << name;
    return row;
}

std::vector<unsigned char> Encode(const char *name, const char *text, std::string *error) {
    const SettingRow *row = Row(name);
    std::vector<unsigned char> out(SettingStoredSize(row), 0xee);
    if (EncodeSettingValue(row, text, out.data(), error) != 0) return {};
    return out;
}

TEST(EncodeSettingValue, GoodTextsGiveTheStoredBytes) {
    struct Case {
        const char *name, *text;
        std::vector<unsigned char> stored;
    } cases[] = {
        {"EMAIL_LANGUAGE", "3", {3}},
        {"EMAIL_LANGUAGE", " 255 ", {255}},
        {"EMAIL_LANGUAGE", "0xff", {255}},
        {"MEDIA_RESCAN_INTERVAL", "4660", {0x34, 0x12}},
        {"MEDIA_RESCAN_INTERVAL", "0xFFFF", {0xff, 0xff}},
        {"LAN_LEASE_TIME", "4294967295", {0xff, 0xff, 0xff, 0xff}},
        {"LAN_LEASE_TIME", "-2", {0xfe, 0xff, 0xff, 0xff}},
        {"MAX_DOWNLOAD_BANDWIDTH", "0x01020304", {4, 3, 2, 1}},
        {"NAS_RESERVED", "0", {0, 0, 0, 0}},
        {"FTP_CLIENT_LANG", "en", {'e', 'n', 0}},
        {"FTP_CLIENT_LANG", "", {0, 0, 0}},
        {"FTP_CLIENT_LANG", " x", {' ', 'x', 0}},
        {"WAN_IP_ADDR", "192.168.1.20", {192, 168, 1, 20}},
        {"WAN_IP_ADDR", "c0a80114", {192, 168, 1, 20}},
        {"WAN_MAC_ADDR", "00:11:22:aa:BB:cc", {0, 0x11, 0x22, 0xaa, 0xbb, 0xcc}},
        {"WAN_MAC_ADDR", "00-11-22-aa-bb-cc", {0, 0x11, 0x22, 0xaa, 0xbb, 0xcc}},
        {"WEP64_KEY1", "0102030405", {1, 2, 3, 4, 5}},
        {"DMZ_TBL", "01 02 03 04 05 06 07 08 09 0a", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_EQ(c.stored, Encode(c.name, c.text, &error))
            << c.name << "=" << c.text << " " << error;
    }
}

TEST(EncodeSettingValue, BadTextsAreRefusedWithAReason) {
    struct Case {
        const char *name, *text, *reason;
    } cases[] = {
        {"EMAIL_LANGUAGE", "256", "needs a number from 0 to 255"},
        {"EMAIL_LANGUAGE", "-1", "needs a number from 0 to 255"},
        {"EMAIL_LANGUAGE", "", "needs a number from 0 to 255"},
        {"EMAIL_LANGUAGE", "1x", "needs a number from 0 to 255"},
        {"EMAIL_LANGUAGE", "0x", "needs a number from 0 to 255"},
        {"MEDIA_RESCAN_INTERVAL", "65536", "needs a number from 0 to 65535"},
        {"LAN_LEASE_TIME", "4294967296", "needs a 32-bit number"},
        {"LAN_LEASE_TIME", "-2147483649", "needs a 32-bit number"},
        {"FTP_CLIENT_LANG", "eng", "text longer than 2 characters"},
        {"WAN_IP_ADDR", "192.168.1.256", "needs an IPv4 address such as 192.168.1.1"},
        {"WAN_IP_ADDR", "1.2.3", "needs an IPv4 address such as 192.168.1.1"},
        {"WAN_IP_ADDR", "1.2.3.4.5", "needs an IPv4 address such as 192.168.1.1"},
        {"WAN_MAC_ADDR", "00:11:22:33:44", "needs 6 bytes in hex"},
        {"WAN_MAC_ADDR", "00:11:22:33:44:55:66", "needs 6 bytes in hex"},
        {"WAN_MAC_ADDR", "0:011:22:33:44:55", "needs 6 bytes in hex"},
        {"WAN_MAC_ADDR", "zz:11:22:33:44:55", "needs 6 bytes in hex"},
        {"PORTFW_TBL", "00", "needs 26 bytes in hex"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_TRUE(Encode(c.name, c.text, &error).empty()) << c.name << "=" << c.text;
        EXPECT_EQ(c.reason, error) << c.name << "=" << c.text;
    }
}

TEST(FormatSettingValue, PrintsWhatTheStoreReturns) {
    int32_t number = 4660;
    int32_t big = -1;
    unsigned char mac[] = {0, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
    unsigned char ip[] = {10, 0, 0, 254};
    unsigned char key[] = {1, 2, 3, 4, 0xff};
    const char text[] = "a b=c";
    EXPECT_EQ("4660", FormatSettingValue(Row("MEDIA_RESCAN_INTERVAL"),
                                         reinterpret_cast<unsigned char *>(&number)));
    EXPECT_EQ("4294967295",
              FormatSettingValue(Row("LAN_LEASE_TIME"), reinterpret_cast<unsigned char *>(&big)));
    EXPECT_EQ("00:11:22:aa:bb:cc", FormatSettingValue(Row("WAN_MAC_ADDR"), mac));
    EXPECT_EQ("10.0.0.254", FormatSettingValue(Row("WAN_IP_ADDR"), ip));
    EXPECT_EQ("01020304ff", FormatSettingValue(Row("WEP64_KEY1"), key));
    EXPECT_EQ("a b=c",
              FormatSettingValue(Row("SSID"), reinterpret_cast<const unsigned char *>(text)));
}

}  // namespace
