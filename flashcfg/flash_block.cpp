// flash_block.cpp -- reading and checking one settings block of the flash device.
#include "flash_block.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bytes.h"
#include "flash_device.h"
#include "flash_layout.h"

void ParseFlashHeader(const unsigned char *bytes, FlashHeader *header) {
    header->signature[0] = static_cast<char>(bytes[FLASH_HEADER_SIGNATURE]);
    header->signature[1] = static_cast<char>(bytes[FLASH_HEADER_SIGNATURE + 1]);
    char digits[3] = {static_cast<char>(bytes[FLASH_HEADER_VERSION]),
                      static_cast<char>(bytes[FLASH_HEADER_VERSION + 1]), '\0'};
    if (sscanf(digits, "%2d", &header->version) != 1) header->version = -1;
    header->length = GetLe16(bytes + FLASH_HEADER_LENGTH);
}

void PutFlashHeader(unsigned char *bytes, const char *signature, int version, uint16_t length) {
    bytes[FLASH_HEADER_SIGNATURE] = static_cast<unsigned char>(signature[0]);
    bytes[FLASH_HEADER_SIGNATURE + 1] = static_cast<unsigned char>(signature[1]);
    bytes[FLASH_HEADER_VERSION] = static_cast<unsigned char>('0' + version / 10 % 10);
    bytes[FLASH_HEADER_VERSION + 1] = static_cast<unsigned char>('0' + version % 10);
    PutLe16(bytes + FLASH_HEADER_LENGTH, length);
}

int FlashHeaderValid(int kind, const FlashHeader *header) {
    const char *signature =
        kind == FLASH_BLOCK_HW ? HW_SETTINGS_SIGNATURE : CURRENT_SETTINGS_SIGNATURE;
    int version = kind == FLASH_BLOCK_HW ? HW_SETTINGS_VERSION : CURRENT_SETTINGS_VERSION;
    int minimum = kind == FLASH_BLOCK_HW ? HW_SETTINGS_SIZE : SETTINGS_T_SIZE;
    return memcmp(header->signature, signature, 2) == 0 && header->version == version &&
           header->length >= minimum;
}

unsigned char FlashBlockSum(const unsigned char *block, size_t length) {
    unsigned char sum = 0;
    for (size_t i = 0; i < length; i++) sum = static_cast<unsigned char>(sum + block[i]);
    return sum;
}

long FlashBlockHeaderOffset(int kind) {
    return kind == FLASH_BLOCK_HW ? HW_SETTINGS_HEADER_OFFSET : CURRENT_SETTINGS_HEADER_OFFSET;
}

static void PrintInvalidHeader(int kind, const FlashHeader *h) {
    if (kind == FLASH_BLOCK_HW) {
        printf("Invalid hw setting signature or version number [sig=%c%c, ver=%d, len=%d]!\n",
               h->signature[0], h->signature[1], h->version, h->length);
    } else {
        printf(
            "Invalid default setting signature or version number [sig=%c%c, ver=%d, len=%d, "
            "SETTINGS_T=%d]!\n",
            h->signature[0], h->signature[1], h->version, h->length, SETTINGS_T_SIZE);
    }
}

unsigned char *ReadSettingsBlock(int kind, int *length) {
    bool hw = kind == FLASH_BLOCK_HW;
    long headerOffset = FlashBlockHeaderOffset(kind);
    unsigned char bytes[FLASH_HEADER_SIZE];
    if (!ReadFlash(bytes, headerOffset, sizeof(bytes))) {
        if (hw)
            printf("Read hw setting header failed!, Offset=%lx\n", headerOffset);
        else
            printf("Read default setting header failed!\n");
        fflush(stdout);
        return nullptr;
    }
    FlashHeader header;
    ParseFlashHeader(bytes, &header);
    unsigned char *block = nullptr;
    if (!FlashHeaderValid(kind, &header)) {
        PrintInvalidHeader(kind, &header);
    } else if ((block = static_cast<unsigned char *>(calloc(header.length, 1))) == nullptr) {
        printf("Allocate buffer failed!\n");
    } else if (!ReadFlash(block, headerOffset + FLASH_HEADER_SIZE, header.length)) {
        printf(hw ? "Read hw setting failed!\n" : "Read default setting failed!\n");
        free(block);
        block = nullptr;
    } else if (FlashBlockSum(block, header.length) != 0) {
        printf(hw ? "Invalid checksum of hw setting!\n" : "Invalid checksum of current setting!\n");
        free(block);
        block = nullptr;
    }
    fflush(stdout);
    if (block != nullptr) *length = header.length;
    return block;
}
