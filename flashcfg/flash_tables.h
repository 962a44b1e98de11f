// flash_tables.h -- where each setting lies in the flash blocks.
//
// Two constant tables of rows (identifier, name, value type, offset, size)
// describe the current-settings block and the hardware-settings block; each
// ends with a row whose identifier is 0. Identifiers are unique across both
// tables, and every row lies inside its block's shortest valid length, short
// of the block's last (checksum) byte.
#pragma once

#include <stdint.h>

// Value types of the rows, and what FlashSettingsGet writes for them.
enum {
    SETTING_BYTE = 0,    // 8-bit unsigned -> int32, zero-extended
    SETTING_WORD = 1,    // 16-bit unsigned, little-endian -> int32, zero-extended
    SETTING_TEXT = 2,    // text, NUL-terminated within size -> the text and its NUL
    SETTING_BYTES5 = 3,  // 5 raw bytes
    SETTING_BYTES6 = 4,  // 6 raw bytes (hardware addresses)
    SETTING_BYTES13 = 5,
    SETTING_BYTES16 = 6,
    SETTING_IPV4 = 7,  // 4 raw bytes (IPv4 address)
    // Lists of fixed-size entries -> one entry, chosen by the caller.
    SETTING_LIST_MACAC = 8,
    SETTING_LIST_PORTFW = 9,
    SETTING_LIST_IPFILTER = 10,
    SETTING_LIST_PORTFILTER = 11,
    SETTING_LIST_MACFILTER = 12,
    SETTING_LIST_TRIGGERPORT = 13,
    SETTING_LIST_VSER = 14,
    SETTING_LIST_DMZ = 15,
    SETTING_LIST_URLB = 16,
    SETTING_LIST_ACPC = 17,
    SETTING_LIST_SROUT = 18,
    SETTING_LIST_WAN1_QOS = 19,
    // 32-bit little-endian numbers -> int32. The three tags are kept apart
    // by the programs that write them; readers treat them alike.
    SETTING_UINT32 = 20,
    SETTING_BYTE_ARRAY = 21,  // size raw bytes
    SETTING_UINT32_B = 22,
    SETTING_UINT32_C = 23,
};

enum {
    SETTING_NAME_SIZE = 32,  // name field of a row, NUL-padded
    SETTING_LIST_COUNT = 12,
    CURRENT_SETTING_ROWS = 313,  // rows before the id-0 row
    HW_SETTING_ROWS = 13,
};

// One row of a settings table (48 bytes, an in-memory constant).
struct SettingRow {
    int32_t id;                    // identifier; 0 ends the table
    char name[SETTING_NAME_SIZE];  // e.g. "EMAIL_LANGUAGE"
    int32_t type;                  // SETTING_*
    int32_t offset;                // byte offset of the value in its block
    int32_t size;                  // bytes of the value (text: with room for the NUL)
};
static_assert(sizeof(SettingRow) == 48, "settings table row");

// One list-valued setting: its list row, its count row (type SETTING_BYTE)
// and the shape of its packed array (size = entrySize * capacity).
struct SettingListShape {
    int type;       // SETTING_LIST_*
    int listId;     // row holding the packed entries
    int countId;    // row holding the number of entries in use
    int entrySize;  // bytes per entry
    int capacity;   // entries the array holds
};

extern const SettingRow kCurrentSettingRows[CURRENT_SETTING_ROWS + 1];
extern const SettingRow kHwSettingRows[HW_SETTING_ROWS + 1];

// The twelve lists in the order FlashSettingsInit loads them.
extern const SettingListShape kSettingListShapes[SETTING_LIST_COUNT];

// Table lookups. They return null when nothing matches. *hw (may be null)
// tells whether the row belongs to the hardware block. The current table is
// searched first.
const SettingRow *FindSettingRow(int id, int *hw);
const SettingRow *FindSettingRowByName(const char *name, int *hw);

// The list shape of a list type (8 to 19), or null for any other type.
const SettingListShape *FindSettingListShape(int type);

// The kinds of value a setting type holds.
enum {
    SETTING_KIND_UNKNOWN = 0,  // not a type of the tables
    SETTING_KIND_NUMBER = 1,   // 0, 1, 20, 22, 23: read as a 32-bit int
    SETTING_KIND_TEXT = 2,     // 2
    SETTING_KIND_BYTES = 3,    // 3 to 7, 21: raw bytes
    SETTING_KIND_LIST = 4,     // 8 to 19: entries of a list (FindSettingListShape)
};

// The kind of value of a setting type (SETTING_KIND_*).
int SettingKind(int type);

// Bytes FlashSettingsGet writes into the caller's buffer for a row: 4 for
// numbers, the entry size for lists, the row's size otherwise; 0 for an
// unknown type.
int SettingValueSize(const SettingRow *row);
