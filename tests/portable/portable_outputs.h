// portable_outputs.h -- files this tree writes from fixed inputs, so that the
// host and the ARM board can be compared byte for byte.
//
// WritePortableOutputs fills a folder with:
//   recording.avi   an AVI file from the writer: frames of odd, even and zero
//                   length, index and final header
//   names.txt       recording start and final names for fixed times from 2026
//                   to 2106 (past the 32-bit time_t end in 2038), in UTC
//   flash.img       a flash device image built from a fixed settings text
//   settings.txt    every setting read back from that image through the store
//   handoff.bin     hand-off packets (requests, replies, a history record, the
//                   copy notice) in the wire form: big-endian integers and
//                   length-prefixed strings
// Every byte depends only on the inputs, never on the machine, so the files
// must be identical wherever they are written.
#pragma once

#include <string>

// Writes the files into dir (which must exist; its "dev" and "rec" folders
// are made). Sets TZ=UTC0 and NAS_ROOT=dir for the process. Returns 0, or 1
// with a message on standard error.
int WritePortableOutputs(const std::string &dir);

// The names of the files written, in a fixed order.
extern const char *const kPortableOutputFiles[5];
