// ipcam_card.cpp -- the stand-in's test card: colour bars, a ramp, a moving bar, frame number and
// time.
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "ipcam.h"

// 5 x 7 glyphs, one byte per row, the high bit of five is the left column.
struct Glyph {
    char c;
    uint8_t rows[7];
};

static const Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
};

static const Glyph *FindGlyph(char c) {
    for (const Glyph &g : kFont) {
        if (g.c == c) return &g;
    }
    return nullptr;  // drawn as a blank
}

static void FillRect(std::vector<uint8_t> *rgb, int width, int height, int x0, int y0, int w, int h,
                     const uint8_t colour[3]) {
    for (int y = y0 < 0 ? 0 : y0; y < y0 + h && y < height; y++) {
        for (int x = x0 < 0 ? 0 : x0; x < x0 + w && x < width; x++) {
            memcpy(&(*rgb)[(static_cast<size_t>(y) * width + x) * 3], colour, 3);
        }
    }
}

// Draws text with the top left corner at (x, y), each font pixel scale x scale.
static void DrawText(std::vector<uint8_t> *rgb, int width, int height, int x, int y, int scale,
                     const char *text) {
    static const uint8_t kInk[3] = {255, 255, 255};
    for (; *text != '\0'; text++, x += 6 * scale) {
        const Glyph *g = FindGlyph(*text);
        if (g == nullptr) continue;
        for (int row = 0; row < 7; row++) {
            for (int col = 0; col < 5; col++) {
                if (g->rows[row] & (0x10 >> col)) {
                    FillRect(rgb, width, height, x + col * scale, y + row * scale, scale, scale,
                             kInk);
                }
            }
        }
    }
}

void DrawTestCard(int width, int height, long number, std::vector<uint8_t> *rgb) {
    static const uint8_t kBars[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192}, {0, 192, 0},
                                        {192, 0, 192},   {192, 0, 0},   {0, 0, 192}};
    rgb->assign(static_cast<size_t>(width) * height * 3, 0);
    int barsHeight = height * 2 / 3;
    for (int i = 0; i < 7; i++) {
        int x0 = width * i / 7;
        FillRect(rgb, width, height, x0, 0, width * (i + 1) / 7 - x0, barsHeight, kBars[i]);
    }
    for (int x = 0; x < width; x++) {
        uint8_t v = static_cast<uint8_t>(width > 1 ? x * 255 / (width - 1) : 0);
        const uint8_t grey[3] = {v, v, v};
        FillRect(rgb, width, height, x, barsHeight, 1, height - barsHeight, grey);
    }
    // A bar that crosses the picture once every 100 frames shows motion at a glance.
    static const uint8_t kMover[3] = {255, 64, 0};
    int moverWidth = width / 20 + 1;
    FillRect(rgb, width, height, static_cast<int>((number % 100) * (width - moverWidth) / 99),
             barsHeight, moverWidth, (height - barsHeight) / 2, kMover);

    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char line1[32];
    char line2[32];
    snprintf(line1, sizeof(line1), "#%06ld", number % 1000000);
    snprintf(line2, sizeof(line2), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(now.tv_usec / 1000));
    // Twelve glyphs of six columns each span about half of the width.
    int scale = width / (12 * 6 * 2);
    if (scale < 1) scale = 1;
    static const uint8_t kBox[3] = {0, 0, 0};
    int boxWidth = 12 * 6 * scale + 2 * scale;
    int boxHeight = 2 * 9 * scale + 2 * scale;
    int boxX = (width - boxWidth) / 2;
    int boxY = (barsHeight - boxHeight) / 2;
    FillRect(rgb, width, height, boxX, boxY, boxWidth, boxHeight, kBox);
    DrawText(rgb, width, height, boxX + 2 * scale, boxY + 2 * scale, scale, line1);
    DrawText(rgb, width, height, boxX + 2 * scale, boxY + 11 * scale, scale, line2);
}
