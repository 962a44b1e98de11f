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

// Fields of the header area read back by the repair scan. The area opens
// with "RIFF", its size, "AVI ", "LIST", its size, "hdrl", "avih" and the
// avih size (8 words): the avih data starts at 32.
const int kAviRiffSizeAt = 4;
const int kAviMainHeaderAt = 8 * 4;
static_assert(kAviMainHeaderAt == 32, "avih data");
// avih: microseconds per frame, bytes per second, padding, flags, total
// frames, initial frames, streams, buffer size, width, height, 4 reserved
// words (14 words in all).
const int kAviFlagsAt = kAviMainHeaderAt + 3 * 4;
const int kAviTotalFramesAt = kAviMainHeaderAt + 4 * 4;
const int kAviWidthAt = kAviMainHeaderAt + 8 * 4;
const int kAviHeightAt = kAviMainHeaderAt + 9 * 4;
static_assert(kAviFlagsAt == 44 && kAviTotalFramesAt == 48, "avih flags and frames");
static_assert(kAviWidthAt == 64 && kAviHeightAt == 68, "avih picture size");
// After avih: "LIST", its size, "strl", "strh" and the strh size (5 words);
// strh: type, handler, flags, priority and language (2 + 2 bytes), initial
// frames, scale, rate.
const int kAviStreamHeaderAt = kAviMainHeaderAt + 14 * 4 + 5 * 4;
const int kAviHandlerAt = kAviStreamHeaderAt + 4;
const int kAviRateAt = kAviStreamHeaderAt + 4 + 4 + 4 + 2 + 2 + 4 + 4;
static_assert(kAviStreamHeaderAt == 108, "strh data");
static_assert(kAviHandlerAt == 112 && kAviRateAt == 132, "strh handler and rate");
// The "movi" LIST's size word.
const int kAviMoviSizeAt = kAviOffsetMoviList + 4;
static_assert(kAviMoviSizeAt == 2040, "movi size");

// The identity text that opens the JUNK filler: "%s-%s" with the writer's
// name for the header form and its version.
#define AVI_IDENTITY_FINAL "nmm"
#define AVI_IDENTITY_IN_PROGRESS "j8l"
#define AVI_IDENTITY_VERSION "0.0.1"
