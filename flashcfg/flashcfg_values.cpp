// flashcfg_values.cpp -- parsing and printing setting values in the tool's text forms.
#include "flashcfg_values.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "bytes.h"

int SettingStoredSize(const SettingRow *row) {
    const SettingListShape *shape = FindSettingListShape(row->type);
    return shape != nullptr ? shape->entrySize : row->size;
}

static bool IsNumberType(int type) { return SettingKind(type) == SETTING_KIND_NUMBER; }

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses an unsigned decimal or 0x-hex number up to max; false when the text
// is anything else or the number is larger.
static bool ParseUnsigned(const char *text, uint64_t max, uint64_t *value) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    uint64_t v = 0;
    for (; *text != '\0'; text++) {
        int digit =
            base == 16 ? HexDigit(*text) : (isdigit((unsigned char)*text) ? *text - '0' : -1);
        if (digit < 0) return false;
        v = v * base + digit;
        if (v > max) return false;
    }
    *value = v;
    return true;
}

static int EncodeNumber(const SettingRow *row, const std::string &text, unsigned char *out,
                        std::string *error) {
    uint64_t max = row->type == SETTING_BYTE   ? 0xff
                   : row->type == SETTING_WORD ? 0xffff
                                               : 0xffffffffu;
    uint64_t value = 0;
    bool ok;
    if (!text.empty() && text[0] == '-' && max == 0xffffffffu) {
        ok = ParseUnsigned(text.c_str() + 1, 0x80000000u, &value);
        value = static_cast<uint32_t>(-static_cast<int64_t>(value));
    } else {
        ok = ParseUnsigned(text.c_str(), max, &value);
    }
    if (!ok) {
        *error = "needs a number from 0 to " + std::to_string(max);
        if (max == 0xffffffffu) *error = "needs a 32-bit number";
        return 1;
    }
    if (row->size == 1)
        out[0] = static_cast<unsigned char>(value);
    else if (row->size == 2)
        PutLe16(out, static_cast<uint16_t>(value));
    else
        PutLe32(out, static_cast<uint32_t>(value));
    return 0;
}

static bool ParseDotted(const std::string &text, unsigned char *out) {
    unsigned a[4];
    char end;
    if (sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a[0], &a[1], &a[2], &a[3], &end) != 4)
        return false;
    for (int i = 0; i < 4; i++) {
        if (a[i] > 255) return false;
        out[i] = static_cast<unsigned char>(a[i]);
    }
    return true;
}

static bool ParseHex(const std::string &text, unsigned char *out, int size) {
    int count = 0;
    int high = -1;
    for (char c : text) {
        if (c == ':' || c == '-' || c == ' ' || c == '\t') {
            if (high >= 0) return false;  // separators only between whole bytes
            continue;
        }
        int digit = HexDigit(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
            continue;
        }
        if (count == size) return false;
        out[count++] = static_cast<unsigned char>(high << 4 | digit);
        high = -1;
    }
    return high < 0 && count == size;
}

static std::string Trimmed(const char *text) {
    std::string s(text);
    size_t begin = s.find_first_not_of(" \t");
    size_t end = s.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

int EncodeSettingValue(const SettingRow *row, const char *text, unsigned char *out,
                       std::string *error) {
    int size = SettingStoredSize(row);
    if (SettingKind(row->type) == SETTING_KIND_TEXT) {
        size_t length = strlen(text);
        if (size < 1 || length > static_cast<size_t>(size - 1)) {
            *error = "text longer than " + std::to_string(size - 1) + " characters";
            return 1;
        }
        memset(out, 0, size);
        memcpy(out, text, length);
        return 0;
    }
    std::string value = Trimmed(text);
    if (IsNumberType(row->type)) return EncodeNumber(row, value, out, error);
    if (row->type == SETTING_IPV4 && value.find('.') != std::string::npos) {
        if (ParseDotted(value, out)) return 0;
        *error = "needs an IPv4 address such as 192.168.1.1";
        return 1;
    }
    if (ParseHex(value, out, size)) return 0;
    *error = "needs " + std::to_string(size) + " bytes in hex";
    return 1;
}

std::string FormatSettingValue(const SettingRow *row, const unsigned char *value) {
    char text[64];
    if (IsNumberType(row->type)) {
        uint32_t v;
        memcpy(&v, value, sizeof(v));
        snprintf(text, sizeof(text), "%u", v);
        return text;
    }
    if (SettingKind(row->type) == SETTING_KIND_TEXT)
        return std::string(reinterpret_cast<const char *>(value));
    if (row->type == SETTING_IPV4) {
        snprintf(text, sizeof(text), "%u.%u.%u.%u", value[0], value[1], value[2], value[3]);
        return text;
    }
    std::string hex;
    int size = SettingValueSize(row);
    for (int i = 0; i < size; i++) {
        if (row->type == SETTING_BYTES6 && i > 0) hex += ':';
        snprintf(text, sizeof(text), "%02x", value[i]);
        hex += text;
    }
    return hex;
}
