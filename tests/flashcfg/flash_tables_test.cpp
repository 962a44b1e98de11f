// Tests of the settings tables: fixed rows, unique identifiers, rows inside
// their blocks and apart from each other, list shapes.
#include "flash_tables.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "flash_layout.h"

namespace {

std::vector<const SettingRow *> Rows(const SettingRow *table) {
    std::vector<const SettingRow *> rows;
    for (const SettingRow *row = table; row->id != 0; row++) rows.push_back(row);
    return rows;
}

TEST(SettingTables, HaveTheirRowCountsAndEndWithIdZero) {
    EXPECT_EQ(313u, Rows(kCurrentSettingRows).size());
    EXPECT_EQ(13u, Rows(kHwSettingRows).size());
    EXPECT_EQ(0, kCurrentSettingRows[313].id);
    EXPECT_EQ(0, kHwSettingRows[13].id);
    EXPECT_STREQ("DHCP_CLIENT_START", kCurrentSettingRows[0].name);
    EXPECT_STREQ("QUOTA_MAIL_FREQUENCY", kCurrentSettingRows[312].name);
}

TEST(SettingTables, RowsReadByTheDaemonsAreWhereTheAppliancePutsThem) {
    struct Fixed {
        int id;
        const char *name;
        int type, offset, size, hw;
    } fixed[] = {
        {50, "USER_NAME", 2, 685, 31, 0},
        {51, "USER_PASSWORD", 2, 716, 31, 0},
        {345, "NAS_USER_NAME", 2, 11637, 672, 0},
        {346, "NAS_USER_PASSWD", 2, 12309, 672, 0},
        {352, "BT_ENABLE", 0, 22506, 1, 0},
        {353, "MEDIA_SERVER_ENABLE", 0, 22507, 1, 0},
        {355, "MEDIA_RESCAN_INTERVAL", 1, 22529, 2, 0},
        {357, "ITUNES_ENABLE", 0, 22532, 1, 0},
        {359, "ITUNES_MUSIC_DIR", 2, 22554, 255, 0},
        {365, "DOWNLOAD_ENABLE", 0, 23089, 1, 0},
        {366, "FTP_CLIENT_LANG", 2, 23090, 3, 0},
        {393, "EMAIL_BT", 0, 24200, 1, 0},
        {399, "EMAIL_ENABLE", 0, 23695, 1, 0},
        {402, "EMAIL_LANGUAGE", 0, 24191, 1, 0},
        {407, "QUOTA_ENABLE", 0, 24197, 1, 0},
        {408, "QUOTA_ALERT", 0, 24198, 1, 0},
        {409, "QUOTA_MAIL_FREQUENCY", 0, 24199, 1, 0},
        {124, "HW_BOARD_ID", 0, 0, 1, 1},
        {125, "HW_NIC0_ADDR", 4, 1, 6, 1},
        {126, "HW_NIC1_ADDR", 4, 7, 6, 1},
        {127, "HW_WLAN_ADDR", 4, 13, 6, 1},
        {128, "HW_REG_DOMAIN", 0, 195, 1, 1},
        {129, "HW_RF_TYPE", 0, 196, 1, 1},
        {130, "HW_TX_POWER_CCK", 21, 19, 14, 1},
        {131, "HW_TX_POWER_OFDM", 21, 33, 162, 1},
        {132, "HW_ANT_DIVERSITY", 0, 197, 1, 1},
        {133, "HW_TX_ANT", 0, 198, 1, 1},
        {134, "HW_CCA_MODE", 0, 199, 1, 1},
        {136, "HW_WLAN_LED_TYPE", 0, 200, 1, 1},
        {135, "HW_INIT_GAIN", 0, 201, 1, 1},
    };
    for (const Fixed &f : fixed) {
        int hw = -1;
        const SettingRow *row = FindSettingRow(f.id, &hw);
        ASSERT_NE(nullptr, row) << f.id;
        EXPECT_STREQ(f.name, row->name);
        EXPECT_EQ(f.type, row->type) << f.name;
        EXPECT_EQ(f.offset, row->offset) << f.name;
        EXPECT_EQ(f.size, row->size) << f.name;
        EXPECT_EQ(f.hw, hw) << f.name;
        EXPECT_EQ(row, FindSettingRowByName(f.name, nullptr));
    }
}

TEST(SettingTables, IdentifiersAndNamesAreUniqueAcrossBothTables) {
    std::set<int> ids;
    std::set<std::string> names;
    for (const SettingRow *table : {kCurrentSettingRows, kHwSettingRows}) {
        for (const SettingRow *row : Rows(table)) {
            EXPECT_TRUE(ids.insert(row->id).second) << row->id;
            EXPECT_GE(row->id, 1);
            EXPECT_LE(row->id, 410);
            ASSERT_NE(nullptr, memchr(row->name, '\0', SETTING_NAME_SIZE)) << row->id;
            EXPECT_NE('\0', row->name[0]);
            EXPECT_TRUE(names.insert(row->name).second) << row->name;
        }
    }
    EXPECT_EQ(326u, ids.size());
}

// Every row lies inside the shortest valid block, short of the block's last
// byte (the images' checksum), and no two rows of a block share a byte.
TEST(SettingTables, RowsLieInsideTheirBlocksAndNeverOverlap) {
    struct Block {
        const SettingRow *table;
        int length;
    } blocks[] = {{kCurrentSettingRows, SETTINGS_T_SIZE}, {kHwSettingRows, HW_SETTINGS_SIZE}};
    for (const Block &block : blocks) {
        std::vector<const SettingRow *> rows = Rows(block.table);
        std::sort(rows.begin(), rows.end(),
                  [](const SettingRow *a, const SettingRow *b) { return a->offset < b->offset; });
        for (size_t i = 0; i < rows.size(); i++) {
            EXPECT_GE(rows[i]->offset, 0) << rows[i]->name;
            EXPECT_GE(rows[i]->size, 1) << rows[i]->name;
            EXPECT_LE(rows[i]->offset + rows[i]->size, block.length - 1) << rows[i]->name;
            if (i > 0) {
                EXPECT_LE(rows[i - 1]->offset + rows[i - 1]->size, rows[i]->offset)
                    << rows[i - 1]->name << " overlaps " << rows[i]->name;
            }
        }
    }
}

TEST(SettingTables, SizesFitTheirValueTypes) {
    for (const SettingRow *table : {kCurrentSettingRows, kHwSettingRows}) {
        for (const SettingRow *row : Rows(table)) {
            int want = -1;
            switch (row->type) {
                case SETTING_BYTE:
                    want = 1;
                    break;
                case SETTING_WORD:
                    want = 2;
                    break;
                case SETTING_BYTES5:
                    want = 5;
                    break;
                case SETTING_BYTES6:
                    want = 6;
                    break;
                case SETTING_BYTES13:
                    want = 13;
                    break;
                case SETTING_BYTES16:
                    want = 16;
                    break;
                case SETTING_IPV4:
                    want = 4;
                    break;
                case SETTING_UINT32:
                case SETTING_UINT32_B:
                case SETTING_UINT32_C:
                    want = 4;
                    break;
                case SETTING_TEXT:
                case SETTING_BYTE_ARRAY:
                    want = row->size;
                    break;
                default: {
                    const SettingListShape *shape = FindSettingListShape(row->type);
                    ASSERT_NE(nullptr, shape) << row->name;
                    want = shape->entrySize * shape->capacity;
                }
            }
            EXPECT_EQ(want, row->size) << row->name;
        }
    }
}

TEST(SettingTables, EveryValueTypeHasRows) {
    std::set<int> types;
    for (const SettingRow *row : Rows(kCurrentSettingRows)) types.insert(row->type);
    for (int type = 0; type <= 23; type++) EXPECT_EQ(1u, types.count(type)) << type;
}

TEST(SettingLists, ShapesMatchTheirRowsAndLoadInOrder) {
    struct Shape {
        int type, listId, countId, entrySize, capacity;
        const char *list, *count;
    } want[] = {
        {8, 44, 43, 23, 20, "WLAN_MACAC_ADDR", "WLAN_MACAC_NUM"},
        {14, 161, 160, 26, 20, "VSER_TBL", "VSER_TBL_NUM"},
        {9, 69, 68, 26, 20, "PORTFW_TBL", "PORTFW_TBL_NUM"},
        {15, 167, 166, 10, 20, "DMZ_TBL", "DMZ_TBL_NUM"},
        {18, 242, 241, 15, 20, "SROUT_TBL", "SROUT_TBL_NUM"},
        {16, 175, 174, 34, 20, "URLB_TBL", "URLB_TBL_NUM"},
        {17, 181, 180, 50, 20, "ACPC_TBL", "ACPC_TBL_NUM"},
        {10, 75, 74, 22, 1, "IPFILTER_TBL", "IPFILTER_TBL_NUM"},
        {11, 87, 86, 22, 1, "PORTFILTER_TBL", "PORTFILTER_TBL_NUM"},
        {12, 81, 80, 23, 20, "MACFILTER_TBL", "MACFILTER_TBL_NUM"},
        {13, 93, 92, 45, 20, "TRIGGERPORT_TBL", "TRIGGERPORT_TBL_NUM"},
        {19, 99, 98, 137, 16, "WAN1_QOS_TBL", "WAN1_QOS_TBL_NUM"},
    };
    for (int i = 0; i < SETTING_LIST_COUNT; i++) {
        const SettingListShape &shape = kSettingListShapes[i];
        const Shape &w = want[i];
        EXPECT_EQ(w.type, shape.type);
        EXPECT_EQ(w.listId, shape.listId);
        EXPECT_EQ(w.countId, shape.countId);
        EXPECT_EQ(w.entrySize, shape.entrySize);
        EXPECT_EQ(w.capacity, shape.capacity);
        int hw = -1;
        const SettingRow *list = FindSettingRow(w.listId, &hw);
        ASSERT_NE(nullptr, list);
        EXPECT_EQ(0, hw);
        EXPECT_STREQ(w.list, list->name);
        EXPECT_EQ(w.type, list->type);
        const SettingRow *count = FindSettingRow(w.countId, &hw);
        ASSERT_NE(nullptr, count);
        EXPECT_EQ(0, hw);
        EXPECT_STREQ(w.count, count->name);
        EXPECT_EQ(SETTING_BYTE, count->type);
        EXPECT_EQ(&shape, FindSettingListShape(w.type));
        EXPECT_EQ(w.entrySize, SettingValueSize(list));
    }
    EXPECT_EQ(nullptr, FindSettingListShape(SETTING_TEXT));
}

TEST(SettingTables, LookupsRefuseWhatIsNotThere) {
    EXPECT_EQ(nullptr, FindSettingRow(0, nullptr));
    EXPECT_EQ(nullptr, FindSettingRow(411, nullptr));
    EXPECT_EQ(nullptr, FindSettingRow(-1, nullptr));
    EXPECT_EQ(nullptr, FindSettingRowByName("", nullptr));
    EXPECT_EQ(nullptr, FindSettingRowByName("EMAIL_LANGUAGEX", nullptr));
    EXPECT_EQ(nullptr, FindSettingRowByName("email_language", nullptr));
}

}  // namespace
