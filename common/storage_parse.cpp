// storage_parse.cpp -- columns of du, df and "ls -l" output, and the name and
// age rules of the recording tree.
#include "storage_parse.h"

#include <stdlib.h>
#include <string.h>

#include "logging.h"

static bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// Offset of the first character of column `column`, or -1 when the line ends
// before it begins.
static long ColumnStart(const char *line, size_t lineLength, char separator, int column) {
    if (line == nullptr || column < 1) return -1;
    size_t i = 0;
    for (int current = 1; current < column; current++) {
        while (i < lineLength && !IsLineEnd(line[i]) && line[i] != separator) i++;
        if (i >= lineLength || IsLineEnd(line[i])) return -1;
        while (i < lineLength && line[i] == separator) i++;
    }
    if (i >= lineLength || IsLineEnd(line[i])) return -1;
    return static_cast<long>(i);
}

size_t GetColumn(const char *line, size_t lineLength, char *out, size_t outSize, char separator,
                 int column) {
    if (out == nullptr || outSize == 0) return 0;
    out[0] = '\0';
    long start = ColumnStart(line, lineLength, separator, column);
    if (start < 0) return 0;
    size_t n = 0;
    for (size_t i = static_cast<size_t>(start);
         i < lineLength && !IsLineEnd(line[i]) && line[i] != separator && n + 1 < outSize; i++) {
        out[n++] = line[i];
    }
    out[n] = '\0';
    return n;
}

int ParseByteCount(const char *text, int64_t unitBytes, int64_t *bytes) {
    if (text == nullptr || text[0] == '\0' || unitBytes <= 0) return 1;
    int64_t units = 0;
    for (const char *c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') return 1;
        if (__builtin_mul_overflow(units, 10, &units)) return 1;
        if (__builtin_add_overflow(units, *c - '0', &units)) return 1;
    }
    int64_t product;
    if (__builtin_mul_overflow(units, unitBytes, &product)) return 1;
    *bytes = product;
    return 0;
}

int TakeDuLine(void *reading, const char *line, size_t length) {
    SpaceReading *r = static_cast<SpaceReading *>(reading);
    r->lines++;
    char column[32];
    int64_t bytes;
    if (GetColumn(line, length, column, sizeof(column), '\t', 1) > 0 &&
        ParseByteCount(column, 1024, &bytes) == 0) {
        r->bytes = bytes;
    } else {
        LogError("Get invalid du output line in GetFolderUsedSpace()");
    }
    return 0;
}

int TakeDfLine(void *reading, const char *line, size_t length) {
    SpaceReading *r = static_cast<SpaceReading *>(reading);
    if (++r->lines == 1) return 0;  // the header
    char column[32];
    int64_t bytes;
    if (GetColumn(line, length, column, sizeof(column), ' ', 4) > 0 &&
        ParseByteCount(column, 1024, &bytes) == 0) {
        r->bytes = bytes;
    } else {
        LogError("Fail to get disk free space in GetFolderFreeSpace()");
    }
    return 1;
}

int64_t ReadSpaceOutput(FILE *output, OutputLineReader takeLine) {
    SpaceReading reading = {-1, 0};
    ReadOutputLines(output, takeLine, &reading);
    return reading.bytes;
}

int ParseListingLine(const char *line, size_t lineLength, ListingEntry *entry) {
    entry->kind = LISTING_OTHER;
    entry->name[0] = '\0';
    entry->size[0] = '\0';
    char type[256];
    if (GetColumn(line, lineLength, type, sizeof(type), ' ', 1) == 0) return 1;
    if (type[0] == 'd') {
        entry->kind = LISTING_FOLDER;
    } else if (type[0] == '-') {
        entry->kind = LISTING_FILE;
    } else {
        return 0;
    }
    GetColumn(line, lineLength, entry->size, sizeof(entry->size), ' ', 5);
    // The name follows the eighth column (the time or year) after exactly one
    // blank and runs to the end of the line, blanks included.
    long at = ColumnStart(line, lineLength, ' ', 8);
    if (at < 0) return 1;
    size_t i = static_cast<size_t>(at);
    while (i < lineLength && !IsLineEnd(line[i]) && line[i] != ' ') i++;
    if (i >= lineLength || line[i] != ' ') return 1;
    i++;
    size_t n = 0;
    for (; i < lineLength && line[i] != '\r' && line[i] != '\n' && line[i] != '\0'; i++) {
        if (n + 1 >= sizeof(entry->name)) {
            entry->name[0] = '\0';
            return 1;
        }
        entry->name[n++] = line[i];
    }
    entry->name[n] = '\0';
    return n > 0 ? 0 : 1;
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int IsYearName(const char *name) {
    return strlen(name) == 4 && name[0] >= '1' && name[0] <= '9' && IsDigit(name[1]) &&
           IsDigit(name[2]) && IsDigit(name[3]);
}

int IsMonthName(const char *name) {
    return strlen(name) == 2 && (name[0] == '0' || name[0] == '1') && IsDigit(name[1]) &&
           atoi(name) <= 12;
}

int IsDayName(const char *name) {
    return strlen(name) == 2 && name[0] >= '0' && name[0] <= '3' && IsDigit(name[1]) &&
           atoi(name) <= 31;
}

const char *FindRecordingDate(const char *name, const char *year, const char *month,
                              const char *day) {
    if (strlen(name) <= 21 || strstr(name, ".avi") == nullptr) return nullptr;
    char date[32];
    int n = snprintf(date, sizeof(date), "%s-%s-%s", year, month, day);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(date)) return nullptr;
    return strstr(name, date);
}

// The two-digit (or, for the year, four-digit) number at text, or -1.
static int DigitsAt(const char *text, int count) {
    int value = 0;
    for (int i = 0; i < count; i++) {
        if (!IsDigit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int ReadRecordingStart(const char *date, int isdst, time_t *start) {
    // "YYYY-MM-DD#hh-mm-ss": 19 characters.
    if (date == nullptr || strnlen(date, 19) < 19) return 1;
    struct tm t;
    memset(&t, 0, sizeof(t));
    int year = DigitsAt(date, 4), month = DigitsAt(date + 5, 2), day = DigitsAt(date + 8, 2);
    int hour = DigitsAt(date + 11, 2), minute = DigitsAt(date + 14, 2);
    int second = DigitsAt(date + 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) return 1;
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = isdst;
    time_t value = mktime(&t);
    if (value == static_cast<time_t>(-1)) return 1;
    *start = value;
    return 0;
}

int IsRecordingProtected(const char *name, const char *date, int haveNow, time_t now, int isdst,
                         int changeIntervalMinutes) {
    if (strstr(name, "_.avi") == nullptr) return 0;
    time_t start;
    if (!haveNow || ReadRecordingStart(date, isdst, &start) != 0) return 1;
    int64_t age = static_cast<int64_t>(now) - static_cast<int64_t>(start);
    return age < static_cast<int64_t>(changeIntervalMinutes) * 60 + 60 ? 1 : 0;
}
