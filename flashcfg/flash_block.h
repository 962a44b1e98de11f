// flash_block.h -- the two settings blocks: headers, checksums and the block reader.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { FLASH_BLOCK_HW = 0, FLASH_BLOCK_CURRENT = 1 };

// A parsed 6-byte block header.
struct FlashHeader {
    char signature[2];  // as stored
    int version;        // the two version characters read as "%02d"; -1 when unreadable
    int length;         // bytes of the block that follows
};

// Parses the 6 header bytes (no validation).
void ParseFlashHeader(const unsigned char *bytes, FlashHeader *header);

// Writes a header: signature (2 characters), version as two digits, length.
// REQUIRES: bytes has room for FLASH_HEADER_SIZE bytes, 0 <= version <= 99.
void PutFlashHeader(unsigned char *bytes, const char *signature, int version, uint16_t length);

// 1 when the header has the block's signature and version and a length
// above the block's minimum (more than 24568 for the current block, more
// than 1017 for the hardware block), else 0.
int FlashHeaderValid(int kind, const FlashHeader *header);

// The 8-bit sum of length bytes; a valid block sums to 0.
unsigned char FlashBlockSum(const unsigned char *block, size_t length);

// Device offset of a block's header (0 or 0x6000).
long FlashBlockHeaderOffset(int kind);

// Reads a block from the device: its header, the checks, then its length
// bytes and their sum. Returns the block (release with free) and its length
// in *length, or null after printing the reason on standard output:
// "Read hw setting header failed!, Offset=6000" / "Read default setting
// header failed!", "Invalid hw|default setting signature or version number
// [...]!", "Allocate buffer failed!", "Read hw|default setting failed!",
// "Invalid checksum of hw|current setting!".
unsigned char *ReadSettingsBlock(int kind, int *length);
