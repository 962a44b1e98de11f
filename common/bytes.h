// bytes.h -- little-endian integers to and from byte buffers.
//
// Every binary format of this tree (AVI headers and index, queue records, the
// flash blocks, the hand-off packets) writes integers byte by byte with these
// helpers and never by copying a struct.
#pragma once

#include <stdint.h>

// REQUIRES: p has room for 2, 4 or 8 bytes.
inline void PutLe16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline void PutLe32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
}

inline void PutLe64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
}

inline uint16_t GetLe16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t GetLe32(const unsigned char *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

inline uint64_t GetLe64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

inline void PutBe16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v & 0xff);
}

inline void PutBe32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>((v >> (8 * (3 - i))) & 0xff);
}

inline uint16_t GetBe16(const unsigned char *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t GetBe32(const unsigned char *p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = (v << 8) | p[i];
    return v;
}
