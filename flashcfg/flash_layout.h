// flash_layout.h -- the byte layout of the appliance's flash settings device.
//
// The device ("/dev/mtd", 128 KiB) holds two blocks, each behind a 6-byte
// header: the current settings at 0x0000 and the hardware settings at 0x6000.
// Header is signature (2 characters), version (2 decimal digits, read as
// "%02d") and length (16-bit little-endian) of the block that follows it.
// A block is valid when its length bytes add up to 0 in 8 bits; the images
// this tree writes keep that sum in the block's last byte.
#pragma once

#define FLASH_DEVICE_PATH "/dev/mtd"

enum {
    FLASH_DEVICE_SIZE = 0x20000,  // bytes of the device and of the mirror

    FLASH_HEADER_SIZE = 2 + 2 + 2,  // signature, version, length
    FLASH_HEADER_SIGNATURE = 0,     // offsets inside the header
    FLASH_HEADER_VERSION = 2,
    FLASH_HEADER_LENGTH = 4,

    CURRENT_SETTINGS_HEADER_OFFSET = 0x0000,
    HW_SETTINGS_HEADER_OFFSET = 0x6000,

    CURRENT_SETTINGS_VERSION = 2,
    HW_SETTINGS_VERSION = 1,

    // The record SETTINGS_T; a current block must be at least this long.
    SETTINGS_T_SIZE = 24569,
    // The shortest valid hardware block.
    HW_SETTINGS_SIZE = 1018,
};
static_assert(FLASH_HEADER_SIZE == 6, "flash header length");
static_assert(HW_SETTINGS_HEADER_OFFSET + FLASH_HEADER_SIZE + 0xffff <= FLASH_DEVICE_SIZE,
              "any 16-bit block length lies inside the device");
static_assert(CURRENT_SETTINGS_HEADER_OFFSET + FLASH_HEADER_SIZE + SETTINGS_T_SIZE <=
                  HW_SETTINGS_HEADER_OFFSET,
              "the current block of SETTINGS_T bytes ends before the hardware header");

#define CURRENT_SETTINGS_SIGNATURE "DS"
#define HW_SETTINGS_SIGNATURE "HS"
