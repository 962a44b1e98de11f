// flashcfg_image.h -- building a flash device image from a settings text.
//
// The text has one setting per line, NAME=value, in the forms of
// flashcfg_values.h; blank lines and lines starting with '#' are skipped.
// Each line naming a list row appends one entry to that list; its count row
// is filled from the entries (a count line, when present, must agree).
// Settings not named are zero. The image holds both blocks with their
// headers ("DS" 02, SETTINGS_T bytes; "HS" 01, 1018 bytes), each block's
// last byte making its 8-bit sum 0.
#pragma once

#include <stdio.h>

#include <string>

// Fills image (FLASH_DEVICE_SIZE bytes) from the settings read from in
// (named inName in messages). Returns 0, or 1 with "NAME:LINE: reason" in
// *error for the first bad line.
int BuildFlashImage(FILE *in, const char *inName, unsigned char *image, std::string *error);

// Seals a block: sets its last byte so that its length bytes sum to 0.
void SealFlashBlock(unsigned char *block, int length);
