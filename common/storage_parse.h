// storage_parse.h -- reading the output of du, df and "ls -l", and the name
// rules of the recording tree (year, month and day folders, recordings, the
// age of a file still being written).
//
// Nothing here runs a command: every function reads text it is given, so the
// storage check can be tested line by line.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "shell.h"

// Copies column `column` (1 is the first) of line into out. Columns are
// separated by runs of the separator, so several blanks count as one; a line
// that begins with the separator has an empty first column. Scanning stops at
// CR, LF, NUL or lineLength. At most outSize - 1 characters are copied and out
// is always terminated (when outSize > 0). Returns the number of characters
// copied, 0 when the line ends before the column begins.
size_t GetColumn(const char *line, size_t lineLength, char *out, size_t outSize, char separator,
                 int column);

// Reads a count of units in text (decimal digits only, nothing else) and
// multiplies it by unitBytes. Returns 0 and sets *bytes, or 1 when text is
// empty, holds another character, or the product does not fit in 63 bits.
int ParseByteCount(const char *text, int64_t unitBytes, int64_t *bytes);

// What a line reader of du or df output has found so far: the bytes (-1
// while none) and the lines taken.
struct SpaceReading {
    int64_t bytes;
    int lines;
};

// Line readers (OutputLineReader of shell.h, the context a SpaceReading).
// TakeDuLine takes a line of "du FOLDER" (lines "BLOCKS<TAB>PATH", 1024-byte
// blocks, the folder itself last): the last valid line gives the size, and
// each line without a valid first column logs "Get invalid du output line in
// GetFolderUsedSpace()". TakeDfLine takes a line of "df FOLDER" (a header
// line, then the volume's line whose fourth blank-separated column is the
// available 1024-byte blocks) and stops after the volume's line, logging
// "Fail to get disk free space in GetFolderFreeSpace()" when the column is
// not a number. Both return 0 to go on, 1 to stop.
int TakeDuLine(void *reading, const char *line, size_t length);
int TakeDfLine(void *reading, const char *line, size_t length);

// Reads a du or df output with its line reader. Returns the bytes found, or
// -1 when a line is missing or not valid.
int64_t ReadSpaceOutput(FILE *output, OutputLineReader takeLine);

// The entry kinds of an "ls -l" line, from the first character of column 1.
enum { LISTING_OTHER = 0, LISTING_FOLDER = 1, LISTING_FILE = 2 };

// The parts of one "ls -l" line that the reclamation uses.
struct ListingEntry {
    int kind;         // LISTING_FOLDER ("d"), LISTING_FILE ("-") or LISTING_OTHER
    char name[1024];  // the entry's name, blanks and quotes included
    char size[32];    // column 5 as printed (bytes); empty when missing
};

// Parses one "ls -l" line: permissions, links, owner, group, size, three date
// columns, one blank, then the name up to the end of the line (so names that
// hold blanks come whole). Returns 0 for a folder or file line with a name,
// 0 with kind LISTING_OTHER for lines of other kinds ("total", links,
// devices), and 1 when column 1 or the name is missing or the name does not
// fit (entry->name is then empty).
int ParseListingLine(const char *line, size_t lineLength, ListingEntry *entry);

// Folder name rules of the tree: a year is exactly four digits, 1000 to 9999;
// a month exactly two digits, 00 to 12; a day exactly two digits, 00 to 31.
int IsYearName(const char *name);
int IsMonthName(const char *name);
int IsDayName(const char *name);

// A recording of the day folder year/month/day: a name longer than 21
// characters that holds ".avi" and the date "YEAR-MONTH-DAY" built from the
// folder names. Returns a pointer to the date inside name, or null.
const char *FindRecordingDate(const char *name, const char *year, const char *month,
                              const char *day);

// Reads the start time "YYYY-MM-DD#hh-mm-ss" at date (the position returned
// by FindRecordingDate) as local time with the given daylight-saving flag
// (-1: let the C library decide). Returns 0 and sets *start, or 1 when the
// digits are not all there or the time cannot be converted.
int ReadRecordingStart(const char *date, int isdst, time_t *start);

// The age rule that protects the file being written: a name holding "_.avi"
// is passed over while now - start < changeIntervalMinutes * 60 + 60, when
// the current time is unknown (haveNow 0), or when its start time cannot be
// read. Returns 1 when the file must be passed over, 0 when it may go.
int IsRecordingProtected(const char *name, const char *date, int haveNow, time_t now, int isdst,
                         int changeIntervalMinutes);
