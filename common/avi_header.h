// avi_header.h -- builds the 2048-byte header area of an AVI file.
#pragma once

#include <stdint.h>

#include "avi_format.h"
#include "avi_writer.h"

// Fills image with the header area for avi's format and counts: the RIFF
// size, the movi list size and the avih flags as given, and the identity text
// "<identity>-0.0.1" at the start of the JUNK filler (also kept for
// AVI_identity_text). Ends the process with status 1 when the stream lists
// leave no room for the filler.
// REQUIRES: image has room for kAviHeaderSize bytes.
void BuildAviHeader(const AviFile *avi, const char *identity, uint32_t riffSize, uint32_t moviSize,
                    uint32_t flags, unsigned char *image);
