// base64.cpp -- Base64 text of the camera's credentials.
#include <stddef.h>

#include "camera.h"

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void Base64Encode(const char *in, char *out) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    size_t o = 0;
    while (p[0] != '\0') {
        unsigned bits = static_cast<unsigned>(p[0]) << 16;
        int count = 1;
        if (p[1] != '\0') {
            bits |= static_cast<unsigned>(p[1]) << 8;
            count = 2;
            if (p[2] != '\0') {
                bits |= p[2];
                count = 3;
            }
        }
        out[o++] = kAlphabet[(bits >> 18) & 0x3f];
        out[o++] = kAlphabet[(bits >> 12) & 0x3f];
        out[o++] = count >= 2 ? kAlphabet[(bits >> 6) & 0x3f] : '=';
        out[o++] = count == 3 ? kAlphabet[bits & 0x3f] : '=';
        p += count;
    }
    out[o] = '\0';
}
