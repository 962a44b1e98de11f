// flash_settings.cpp -- the per-process settings store: mirror, blocks, lists and lookups.
#include "flash_settings.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "bytes.h"
#include "flash_block.h"
#include "flash_device.h"
#include "flash_layout.h"
#include "flash_mirror.h"
#include "flash_tables.h"

// The used entries of one list-valued setting, copied out of its block.
struct SettingList {
    int type;             // SETTING_LIST_*
    int entrySize;        // bytes per entry
    int capacity;         // entries the pool holds
    int count;            // entries in use
    unsigned char *pool;  // capacity * entrySize bytes; the first count in stored order
};

// Process-wide state of the store.
struct FlashStore {
    unsigned char *flashMirror;      // copy of the whole device; null before the first
    bool mirrorTaken;                // a mirror was taken at least once
    unsigned char *currentSettings;  // current block; null while uninitialised
    int currentLength;
    unsigned char *hwSettings;  // hardware block
    int hwLength;
    SettingList lists[SETTING_LIST_COUNT];  // in kSettingListShapes order
};

static FlashStore gFlash;

int MakeFlashMirror(void) {
    unsigned char *copy = CopyFlashDevice();
    if (copy == nullptr) return -1;
    free(gFlash.flashMirror);
    gFlash.flashMirror = copy;
    gFlash.mirrorTaken = true;
    return 0;
}

const unsigned char *FlashMirror(void) { return gFlash.flashMirror; }

static void FreeSettingLists(void) {
    for (SettingList &list : gFlash.lists) {
        free(list.pool);
        memset(&list, 0, sizeof(list));
    }
}

static void FreeSettingBlocks(void) {
    FreeSettingLists();
    free(gFlash.currentSettings);
    free(gFlash.hwSettings);
    gFlash.currentSettings = nullptr;
    gFlash.hwSettings = nullptr;
    gFlash.currentLength = 0;
    gFlash.hwLength = 0;
}

// Copies the used entries of every list out of the current block. Returns 1,
// or 0 when a count is above its list's capacity (or a pool cannot be had).
static int LoadSettingLists(void) {
    for (int i = 0; i < SETTING_LIST_COUNT; i++) {
        const SettingListShape &shape = kSettingListShapes[i];
        const SettingRow *listRow = FindSettingRow(shape.listId, nullptr);
        const SettingRow *countRow = FindSettingRow(shape.countId, nullptr);
        SettingList &list = gFlash.lists[i];
        list.type = shape.type;
        list.entrySize = shape.entrySize;
        list.capacity = shape.capacity;
        list.pool = static_cast<unsigned char *>(calloc(shape.capacity, shape.entrySize));
        if (list.pool == nullptr) return 0;
        int count = gFlash.currentSettings[countRow->offset];
        if (count > shape.capacity) return 0;
        memcpy(list.pool, gFlash.currentSettings + listRow->offset,
               static_cast<size_t>(count) * shape.entrySize);
        list.count = count;
    }
    return 1;
}

int FlashSettingsInit(void) {
    if (MakeFlashMirror() != 0) return 0;
    if (gFlash.currentSettings != nullptr) return 1;
    gFlash.hwSettings = ReadSettingsBlock(FLASH_BLOCK_HW, &gFlash.hwLength);
    if (gFlash.hwSettings != nullptr) {
        gFlash.currentSettings = ReadSettingsBlock(FLASH_BLOCK_CURRENT, &gFlash.currentLength);
    }
    if (gFlash.currentSettings == nullptr || !LoadSettingLists()) {
        FreeSettingBlocks();
        return 0;
    }
    return 1;
}

int FlashSettingsReload(void) {
    if (!gFlash.mirrorTaken) return 0;
    free(gFlash.flashMirror);
    gFlash.flashMirror = nullptr;
    if (gFlash.currentSettings == nullptr) return 0;
    FreeSettingBlocks();
    return FlashSettingsInit();
}

static const SettingList *FindSettingList(int type) {
    for (const SettingList &list : gFlash.lists) {
        if (list.type == type && list.pool != nullptr) return &list;
    }
    return nullptr;
}

static void PutInt(void *buffer, uint32_t value) {
    int32_t v = static_cast<int32_t>(value);
    memcpy(buffer, &v, sizeof(v));
}

// Copies the n-th used entry (buffer[0]; 0 counts as 1) of a list.
static int GetListEntry(int type, unsigned char *buffer) {
    const SettingList *list = FindSettingList(type);
    if (list == nullptr) return 0;
    int n = buffer[0] == 0 ? 1 : buffer[0];
    if (n > list->count) return 0;
    memcpy(buffer, list->pool + static_cast<size_t>(n - 1) * list->entrySize, list->entrySize);
    return 1;
}

int FlashSettingsGet(int id, void *buffer) {
    if (buffer == nullptr || gFlash.currentSettings == nullptr) return 0;
    int hw = 0;
    const SettingRow *row = FindSettingRow(id, &hw);
    if (row == nullptr) return 0;
    const unsigned char *block = hw ? gFlash.hwSettings : gFlash.currentSettings;
    int blockLength = hw ? gFlash.hwLength : gFlash.currentLength;
    if (row->offset < 0 || row->size < 0 || row->offset + row->size > blockLength) return 0;
    const unsigned char *value = block + row->offset;
    unsigned char *out = static_cast<unsigned char *>(buffer);
    switch (SettingKind(row->type)) {
        case SETTING_KIND_NUMBER:
            PutInt(out, row->type == SETTING_BYTE   ? value[0]
                        : row->type == SETTING_WORD ? GetLe16(value)
                                                    : GetLe32(value));
            return 1;
        case SETTING_KIND_TEXT: {
            if (row->size < 1) return 0;
            const void *nul = memchr(value, '\0', row->size);
            size_t length = nul ? static_cast<const unsigned char *>(nul) - value : row->size - 1;
            memcpy(out, value, length);
            out[length] = '\0';
            return 1;
        }
        case SETTING_KIND_BYTES:
            memcpy(out, value, row->size);
            return 1;
        case SETTING_KIND_LIST:
            return GetListEntry(row->type, out);
        default:
            return 0;
    }
}

int FlashSettingText(int id, std::string *text) {
    text->clear();
    int hw = 0;
    const SettingRow *row = FindSettingRow(id, &hw);
    if (row == nullptr || SettingKind(row->type) != SETTING_KIND_TEXT) return 0;
    std::vector<char> value(static_cast<size_t>(SettingValueSize(row)) + 1, '\0');
    if (FlashSettingsGet(id, value.data()) != 1) return 0;
    text->assign(value.data());
    return 1;
}

int FlashSettingNumber(int id, int *value) {
    int hw = 0;
    const SettingRow *row = FindSettingRow(id, &hw);
    if (row == nullptr || SettingKind(row->type) != SETTING_KIND_NUMBER) return 0;
    unsigned char number[sizeof(int)];
    if (FlashSettingsGet(id, number) != 1) return 0;
    memcpy(value, number, sizeof(number));
    return 1;
}

std::vector<std::string> SplitAccountList(const std::string &list, size_t most) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (entries.size() < most) {
        size_t end = list.find(',', start);
        entries.push_back(list.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return entries;
}
