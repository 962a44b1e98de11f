// quota_notice.cpp -- the per-volume notice file that says when each quota notice was sent.
//
// One section per user or team: "name =", "warningLevel =Y-M-D" and
// "quotaLimit =Y-M-D" (empty dates when none). The file is rewritten through
// a new file renamed over it (never through a link), and only when it
// changes; only orlinda writes it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static std::string DateText(const struct tm &day) {
    char text[64];
    snprintf(text, sizeof(text), "%d-%d-%d", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
    return text;
}

// The value of a "key =value" line, newline cut.
static std::string NoticeValue(const char *line) {
    const char *equals = strchr(line, '=');
    if (equals == nullptr) return std::string();
    return std::string(equals + 1, strcspn(equals + 1, "\r\n"));
}

static bool StartsWith(const char *line, const char *key) {
    return strncmp(line, key, strlen(key)) == 0;
}

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
static long long DayNumber(long long year, long long month, long long day) {
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    long long yearOfEra = year - era * 400;
    long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// true when the stored date lies two calendar days back or more, so a
// notice is repeated on the second day after the last one at the earliest,
// however long the days between were (a 25-hour day included).
static bool DateDue(const std::string &value, const struct tm &today, bool *isDate) {
    int year, month, day;
    char rest;
    *isDate = sscanf(value.c_str(), "%d-%d-%d%c", &year, &month, &day, &rest) == 3 && month >= 1 &&
              month <= 12 && day >= 1 && day <= 31;
    if (!*isDate) return true;
    long long stored = DayNumber(year, month, day);
    long long now = DayNumber(today.tm_year + 1900LL, today.tm_mon + 1, today.tm_mday);
    return now - stored >= 2;
}

int RewriteQuotaNotice(FILE *in, FILE *out, const char *name, int kind, int frequency, time_t now,
                       int *first) {
    struct tm today;
    localtime_r(&now, &today);
    std::string todayText = DateText(today);
    const char *ownKey = kind == 0 ? "warningLevel" : "quotaLimit";
    bool inSection = false, found = false, due = false, lineStart = true, endsInNewline = true;
    *first = 0;
    char line[1024];
    while (fgets(line, sizeof(line), in) != nullptr) {
        bool start = lineStart;
        size_t length = strlen(line);
        lineStart = length > 0 && line[length - 1] == '\n';
        endsInNewline = lineStart;
        if (start && StartsWith(line, "name")) {
            inSection = NoticeValue(line) == name;
            if (inSection) found = true;
        }
        if (start && inSection && StartsWith(line, ownKey)) {
            bool isDate;
            bool late = DateDue(NoticeValue(line), today, &isDate);
            if (!isDate) {
                fprintf(out, "%s =%s\n", ownKey, todayText.c_str());
                due = true;
                *first = 1;
            } else if (late && frequency != 0) {
                fprintf(out, "%s =%s\n", ownKey, todayText.c_str());
                due = true;
            } else {
                fputs(line, out);
            }
            continue;
        }
        if (start && inSection && kind == 0 && StartsWith(line, "quotaLimit")) {
            fputs("quotaLimit =\n", out);
            continue;
        }
        fputs(line, out);
    }
    if (!found) {
        if (!endsInNewline) fputc('\n', out);
        fprintf(out, "name =%s\n", name);
        if (kind == 0) {
            fprintf(out, "warningLevel =%s\nquotaLimit =\n", todayText.c_str());
        } else {
            fprintf(out, "warningLevel =\nquotaLimit =%s\n", todayText.c_str());
        }
        due = true;
        *first = 1;
    }
    return due ? 1 : 0;
}

static std::string NoticePath(const char *mountPoint) {
    return std::string(mountPoint) + "/.system_file/quotaNotification.conf";
}

// Reads the notice file into *text (empty when it is missing). Returns 0, or
// 1 when it cannot be read or is a link (left alone).
static int ReadNotice(const std::string &path, std::string *text) {
    struct stat st;
    if (lstat(NasPath(path.c_str()).c_str(), &st) != 0) {
        text->clear();
        return errno == ENOENT ? 0 : 1;
    }
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        ReportLinkRefused(path.c_str());
        return 1;
    }
    return ReadTextFile(path, text) == 0 ? 0 : 1;
}

// Runs rewrite over the text through memory streams. Returns 0 or 1.
template <typename Rewrite>
static int RewriteText(const std::string &text, std::string *out, Rewrite rewrite) {
    FILE *in = text.empty() ? fopen("/dev/null", "r")
                            : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (in == nullptr) return 1;
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    if (stream == nullptr) {
        fclose(in);
        return 1;
    }
    rewrite(in, stream);
    fclose(in);
    fclose(stream);
    out->assign(buffer, size);
    free(buffer);
    return 0;
}

int PrepareQuotaNotice(const EventSettings &settings, const char *name, const char *mountPoint,
                       int kind, QuotaNoticeChange *change) {
    change->path = NoticePath(mountPoint);
    change->due = 0;
    change->first = 0;
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        perror("RecordQuotaNotice: time");
        return 0;
    }
    if (ReadNotice(change->path, &change->oldText) != 0) return 0;
    RewriteText(change->oldText, &change->newText, [&](FILE *in, FILE *out) {
        change->due =
            RewriteQuotaNotice(in, out, name, kind, settings.quotaFrequency, now, &change->first);
    });
    return change->due;
}

int CommitQuotaNotice(const QuotaNoticeChange &change, const char *name, int kind, bool team) {
    // Unchanged: nothing is written, so a quiet run leaves the volume alone.
    if (change.newText != change.oldText && ReplaceText(change.path.c_str(), change.newText) != 0) {
        return 1;
    }
    if (change.first) {
        std::string text = "<quotaLogModuleName>\t\t ";
        size_t length = strlen(name);
        if (length < 2) team = false;
        text += team ? "<quotaTeam>" : "<quotaUser>";
        text += team ? std::string(name, length - 2) : std::string(name);
        text += kind == 0 ? "<quotaReachWarningLevel>" : "<quotaReachQuotaLimit>";
        SendLogRecord(text.c_str());
    }
    return 0;
}

void RemoveQuotaNotice(const char *name, const char *mountPoint) {
    std::string path = NoticePath(mountPoint);
    std::string old, text;
    if (ReadNotice(path, &old) != 0 || old.empty()) return;
    RewriteText(old, &text, [&](FILE *in, FILE *out) {
        char line[1024];
        bool inSection = false, lineStart = true;
        while (fgets(line, sizeof(line), in) != nullptr) {
            bool start = lineStart;
            size_t length = strlen(line);
            lineStart = length > 0 && line[length - 1] == '\n';
            if (start && StartsWith(line, "name")) inSection = NoticeValue(line) == name;
            if (!inSection) fputs(line, out);
        }
    });
    if (text != old) ReplaceText(path.c_str(), text);
}
