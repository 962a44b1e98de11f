// flashcfg_values.h -- settings as text for the flashcfg tool: parsing and printing one value.
//
// Text forms, by value type:
//   numbers (0, 1, 20, 22, 23): decimal, or hex with 0x; 32-bit numbers also
//     take a minus sign (stored as two's complement) and print unsigned;
//   text (2): the characters as they stand, at most size - 1 of them;
//   IPv4 (7): dotted decimal "192.168.1.1" (hex is taken too);
//   hardware addresses (4): "00:11:22:33:44:55";
//   other raw bytes (3, 5, 6, 21) and list entries (8 to 19): hex digits,
//     two per byte, exactly as many bytes as the value holds; ':', '-' and
//     blanks between the digits are ignored.
#pragma once

#include <string>

#include "flash_tables.h"

// Bytes a row occupies in its block for one value: the row's size, or the
// entry size for a list row.
int SettingStoredSize(const SettingRow *row);

// Parses text for row into out as the bytes stored in the block (numbers
// little-endian in the row's width, text NUL-padded, a list row: one entry).
// Returns 0, or 1 with a reason in *error ("needs 6 bytes in hex", ...).
// REQUIRES: out has room for SettingStoredSize(row) bytes.
int EncodeSettingValue(const SettingRow *row, const char *text, unsigned char *out,
                       std::string *error);

// The text form of a value as FlashSettingsGet wrote it for row.
std::string FormatSettingValue(const SettingRow *row, const unsigned char *value);
