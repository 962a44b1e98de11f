// flashcfg_image.cpp -- turns NAME=value lines into a valid flash device image.
#include "flashcfg_image.h"

#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

#include "flash_block.h"
#include "flash_layout.h"
#include "flash_tables.h"
#include "flashcfg_values.h"

// What the lines said about one list.
struct ListLines {
    std::vector<std::vector<unsigned char>> entries;
    int countLine = 0;  // line of an explicit count; 0 when none
    long countValue = 0;
};

void SealFlashBlock(unsigned char *block, int length) {
    block[length - 1] = 0;
    block[length - 1] = static_cast<unsigned char>(0x100 - FlashBlockSum(block, length - 1));
}

static int Fail(std::string *error, const char *inName, int line, const std::string &reason) {
    *error = std::string(inName) + ":" + std::to_string(line) + ": " + reason;
    return 1;
}

static const SettingListShape *ShapeOfCountRow(int id) {
    for (const SettingListShape &shape : kSettingListShapes) {
        if (shape.countId == id) return &shape;
    }
    return nullptr;
}

static std::string NameOf(int id) { return FindSettingRow(id, nullptr)->name; }

// Writes the entries and counts of every list into the current block.
static int PutLists(ListLines *lists, unsigned char *current, const char *inName,
                    std::string *error) {
    for (int i = 0; i < SETTING_LIST_COUNT; i++) {
        const SettingListShape &shape = kSettingListShapes[i];
        const ListLines &lines = lists[i];
        int count = static_cast<int>(lines.entries.size());
        if (lines.countLine != 0 && lines.countValue != count) {
            return Fail(error, inName, lines.countLine,
                        NameOf(shape.countId) + "=" + std::to_string(lines.countValue) + " but " +
                            NameOf(shape.listId) + " has " + std::to_string(count) + " entries");
        }
        const SettingRow *listRow = FindSettingRow(shape.listId, nullptr);
        current[FindSettingRow(shape.countId, nullptr)->offset] = static_cast<unsigned char>(count);
        for (int e = 0; e < count; e++) {
            memcpy(current + listRow->offset + e * shape.entrySize, lines.entries[e].data(),
                   shape.entrySize);
        }
    }
    return 0;
}

// Applies one NAME=value line.
static int ApplyLine(const std::string &text, int line, const char *inName, unsigned char *image,
                     ListLines *lists, std::set<int> *seen, std::string *error) {
    size_t equals = text.find('=');
    if (equals == std::string::npos) return Fail(error, inName, line, "expected NAME=value");
    std::string name = text.substr(0, equals);
    size_t begin = name.find_first_not_of(" \t");
    size_t end = name.find_last_not_of(" \t");
    name = begin == std::string::npos ? "" : name.substr(begin, end - begin + 1);
    int hw = 0;
    const SettingRow *row = FindSettingRowByName(name.c_str(), &hw);
    if (row == nullptr) return Fail(error, inName, line, "unknown setting " + name);

    std::vector<unsigned char> value(SettingStoredSize(row));
    std::string reason;
    if (EncodeSettingValue(row, text.c_str() + equals + 1, value.data(), &reason) != 0) {
        return Fail(error, inName, line, name + ": " + reason);
    }
    if (const SettingListShape *shape = FindSettingListShape(row->type)) {
        ListLines &list = lists[shape - kSettingListShapes];
        if (static_cast<int>(list.entries.size()) == shape->capacity) {
            return Fail(error, inName, line,
                        name + " holds at most " + std::to_string(shape->capacity) + " entries");
        }
        list.entries.push_back(value);
        return 0;
    }
    if (!seen->insert(row->id).second) return Fail(error, inName, line, name + " is set twice");
    if (const SettingListShape *shape = ShapeOfCountRow(row->id)) {
        ListLines &list = lists[shape - kSettingListShapes];
        list.countLine = line;
        list.countValue = value[0];
        return 0;
    }
    long blockOffset = FlashBlockHeaderOffset(hw ? FLASH_BLOCK_HW : FLASH_BLOCK_CURRENT);
    memcpy(image + blockOffset + FLASH_HEADER_SIZE + row->offset, value.data(), value.size());
    return 0;
}

int BuildFlashImage(FILE *in, const char *inName, unsigned char *image, std::string *error) {
    memset(image, 0, FLASH_DEVICE_SIZE);
    ListLines lists[SETTING_LIST_COUNT];
    std::set<int> seen;
    char *buffer = nullptr;
    size_t capacity = 0;
    ssize_t length;
    int line = 0;
    int failed = 0;
    while (!failed && (length = getline(&buffer, &capacity, in)) >= 0) {
        line++;
        std::string text(buffer, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        if (text.find('\0') != std::string::npos) {
            failed = Fail(error, inName, line, "NUL character in the line");
            break;
        }
        failed = ApplyLine(text, line, inName, image, lists, &seen, error);
    }
    free(buffer);
    if (failed) return 1;
    if (ferror(in)) return Fail(error, inName, line, "read error");

    unsigned char *current = image + CURRENT_SETTINGS_HEADER_OFFSET + FLASH_HEADER_SIZE;
    unsigned char *hwBlock = image + HW_SETTINGS_HEADER_OFFSET + FLASH_HEADER_SIZE;
    if (PutLists(lists, current, inName, error) != 0) return 1;
    PutFlashHeader(image + CURRENT_SETTINGS_HEADER_OFFSET, CURRENT_SETTINGS_SIGNATURE,
                   CURRENT_SETTINGS_VERSION, SETTINGS_T_SIZE);
    PutFlashHeader(image + HW_SETTINGS_HEADER_OFFSET, HW_SETTINGS_SIGNATURE, HW_SETTINGS_VERSION,
                   HW_SETTINGS_SIZE);
    SealFlashBlock(current, SETTINGS_T_SIZE);
    SealFlashBlock(hwBlock, HW_SETTINGS_SIZE);
    return 0;
}
