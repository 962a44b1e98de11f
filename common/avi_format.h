// avi_format.h -- the byte layout of the AVI files the recorder writes.
//
// A file is a 2048-byte header area, the "movi" list of "00db" frame chunks
// and an "idx1" index. Every integer is little-endian and is put byte by byte.
#pragma once

#include <stdint.h>

// The header area holds the RIFF head, the "hdrl" list with one video stream,
// a "JUNK" filler and the head of the "movi" list; frames start right after it.
const int kAviHeaderSize = 2048;

// Chunk head: four-character id (4 bytes), data length (4 bytes).
const int kAviChunkHeadSize = 4 + 4;

// Index entry: chunk id (4), flags (4), absolute offset of the chunk (4),
// data length without padding (4).
const int kAviIndexEntrySize = 4 + 4 + 4 + 4;
const uint32_t kAviIndexKeyFrame = 0x10;

// The index grows by this many entries (65,536 bytes) at a time.
const int kAviIndexGrowth = 4096;
static_assert(kAviIndexGrowth * kAviIndexEntrySize == 65536, "index growth step");

// A chunk is refused when dataEnd + length + 16 x indexCount + 32 would pass
// this; the 32 covers the chunk head, the "idx1" head and the new entry.
const uint64_t kAviMaxFileSize = 0xFEFFF7FFu;
const uint64_t kAviChunkReserve = kAviChunkHeadSize + kAviChunkHeadSize + kAviIndexEntrySize;
static_assert(kAviChunkReserve == 32, "room kept for a chunk and its index");

// "avih" flags.
const uint32_t kAviFlagHasIndex = 0x10;
const uint32_t kAviFlagMustUseIndex = 0x20;
const uint32_t kAviFlagIsInterleaved = 0x100;

// Where the "movi" LIST of the header area begins.
const int kAviOffsetMoviList = 2036;  // "LIST", size, "movi"

// The "movi" list size counts its "movi" id and everything after the header.
const uint32_t kAviMoviSizeBase = kAviHeaderSize - 4;  // 2044
// The JUNK chunk ends where the "movi" LIST begins.
const int kAviJunkEnd = kAviOffsetMoviList - kAviChunkHeadSize;  // 2028
static_assert(kAviJunkEnd == 2028, "JUNK filler end");

// The identity text that opens the JUNK filler: "%s-%s" with the writer's
// name for the header form and its version.
#define AVI_IDENTITY_FINAL "nmm"
#define AVI_IDENTITY_IN_PROGRESS "j8l"
#define AVI_IDENTITY_VERSION "0.0.1"
