// avi_header.cpp -- the header area of the AVI files: RIFF head, "hdrl" list
// with one video stream, "JUNK" filler and the head of the "movi" list.
#include "avi_header.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bytes.h"

// The identity text of the last header built.
static char gIdentityText[32];

const char *AVI_identity_text() { return gIdentityText; }

// The header image and the write position in it. Fields are placed one after
// another; a field that would pass the end of the image is not written.
struct HeaderImage {
    unsigned char *bytes;
    int pos;
};

static void PutId(HeaderImage *h, const char *id) {
    if (h->pos <= kAviHeaderSize - 4) memcpy(h->bytes + h->pos, id, 4);
    h->pos += 4;
}

static void Put32(HeaderImage *h, uint32_t value) {
    if (h->pos <= kAviHeaderSize - 4) PutLe32(h->bytes + h->pos, value);
    h->pos += 4;
}

static void Put16(HeaderImage *h, uint16_t value) {
    if (h->pos <= kAviHeaderSize - 2) PutLe16(h->bytes + h->pos, value);
    h->pos += 2;
}

static void PutZeros(HeaderImage *h, int count) {
    for (int i = 0; i < count; i += 4) Put32(h, 0);
}

// Rounds a non-negative value to the nearest integer that fits 32 bits.
static uint32_t RoundToU32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value + 0.5);
}

// The stream header and bitmap format of the video stream ("strl" list).
static void PutVideoStreamList(HeaderImage *h, const AviFile *avi) {
    uint32_t rate = avi->fps < 0.001 ? 0 : RoundToU32(10000.0 * avi->fps);
    uint32_t width = static_cast<uint32_t>(avi->width);
    uint32_t height = static_cast<uint32_t>(avi->height);
    PutId(h, "LIST");
    int strlSizeAt = h->pos;
    Put32(h, 0);
    PutId(h, "strl");
    PutId(h, "strh");
    Put32(h, 64);
    PutId(h, "vids");
    PutId(h, avi->codecCode);  // handler
    Put32(h, 0);               // flags
    Put32(h, 0);               // priority and language
    Put32(h, 0);               // initial frames
    Put32(h, 10000);           // scale
    Put32(h, rate);
    Put32(h, 0);  // start
    Put32(h, static_cast<uint32_t>(avi->frameCount));
    Put32(h, 0);            // suggested buffer size
    Put32(h, 0xFFFFFFFFu);  // quality
    Put32(h, 0);            // sample size
    PutZeros(h, 16);        // frame rectangle and reserved
    PutId(h, "strf");
    Put32(h, 40);
    Put32(h, 40);  // bitmap header size
    Put32(h, width);
    Put32(h, height);
    Put16(h, 1);               // planes
    Put16(h, 24);              // bits per pixel
    PutId(h, avi->codecCode);  // compression
    Put32(h, width * height * 3);
    PutZeros(h, 16);  // pixels per metre x and y, colours used and important
    PutLe32(h->bytes + strlSizeAt, static_cast<uint32_t>(h->pos - strlSizeAt - 4));
}

void BuildAviHeader(const AviFile *avi, const char *identity, uint32_t riffSize, uint32_t moviSize,
                    uint32_t flags, unsigned char *image) {
    memset(image, 0, kAviHeaderSize);
    HeaderImage h = {image, 0};
    uint32_t microSecPerFrame = avi->fps < 0.001 ? 0 : RoundToU32(1000000.0 / avi->fps);

    PutId(&h, "RIFF");
    Put32(&h, riffSize);
    PutId(&h, "AVI ");
    PutId(&h, "LIST");
    int hdrlSizeAt = h.pos;
    Put32(&h, 0);
    PutId(&h, "hdrl");
    PutId(&h, "avih");
    Put32(&h, 56);
    Put32(&h, microSecPerFrame);
    Put32(&h, 0);  // maximum bytes per second
    Put32(&h, 0);  // padding granularity
    Put32(&h, flags);
    Put32(&h, static_cast<uint32_t>(avi->frameCount));
    Put32(&h, 0);  // initial frames
    Put32(&h, 1);  // streams: video only, no audio is ever written
    Put32(&h, 0);  // suggested buffer size
    Put32(&h, static_cast<uint32_t>(avi->width));
    Put32(&h, static_cast<uint32_t>(avi->height));
    PutZeros(&h, 16);  // reserved
    PutVideoStreamList(&h, avi);
    PutLe32(image + hdrlSizeAt, static_cast<uint32_t>(h.pos - hdrlSizeAt - 4));

    // The filler takes what is left, so that the movi list starts at 2036.
    int junkLength = kAviJunkEnd - h.pos;
    if (junkLength < 1) {
        fprintf(stderr, "AVI_close_output_file: # of header bytes too small\n");
        exit(1);
    }
    PutId(&h, "JUNK");
    Put32(&h, static_cast<uint32_t>(junkLength));
    snprintf(gIdentityText, sizeof(gIdentityText), "%s-%s", identity, AVI_IDENTITY_VERSION);
    size_t identityLength = strlen(gIdentityText);
    if (identityLength > static_cast<size_t>(junkLength)) identityLength = junkLength;
    memcpy(image + h.pos, gIdentityText, identityLength);
    h.pos += junkLength;

    PutId(&h, "LIST");
    Put32(&h, moviSize);
    PutId(&h, "movi");
}
