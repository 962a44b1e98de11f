// quota_notice.cpp -- the per-volume notice file that says when each quota notice was sent.
//
// One section per user or team: "name =", "warningLevel =Y-M-D" and
// "quotaLimit =Y-M-D" (empty dates when none). The file is rewritten through
// its ".tmp" file and mv; only orlinda writes it.
#include <string.h>
#include <time.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

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

// true when the stored date, at today's time of day, lies more than a day back.
static bool DateDue(const std::string &value, const struct tm &today, time_t now, bool *isDate) {
    int year, month, day;
    char rest;
    *isDate = sscanf(value.c_str(), "%d-%d-%d%c", &year, &month, &day, &rest) == 3;
    if (!*isDate) return true;
    struct tm then = today;
    then.tm_year = year - 1900;
    then.tm_mon = month - 1;
    then.tm_mday = day;
    then.tm_isdst = -1;
    time_t stored = mktime(&then);
    if (stored == static_cast<time_t>(-1)) {
        *isDate = false;
        return true;
    }
    return now - stored > 86400;
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
            bool late = DateDue(NoticeValue(line), today, now, &isDate);
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

static std::string NoticePath(const char *mountPoint, const char *suffix) {
    return NasPath(
        (std::string(mountPoint) + "/.system_file/quotaNotification.conf" + suffix).c_str());
}

static void MoveNotice(const char *mountPoint) {
    ShellCommand command;
    BuildShellCommand(&command, "mv",
                      {NoticePath(mountPoint, ".tmp").c_str(), NoticePath(mountPoint, "").c_str()});
    ShellCommandRun(&command);
}

static void RemoveNoticeScratch(const char *mountPoint) {
    ShellCommand command;
    BuildShellCommand(&command, "rm", {NoticePath(mountPoint, ".tmp").c_str()});
    ShellCommandText(&command, " ");
    ShellCommandRun(&command);
}

int RecordQuotaNotice(const char *name, const char *mountPoint, int kind, bool team) {
    int frequency = SettingNumber(SETTING_QUOTA_MAIL_FREQUENCY);
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        perror("RecordQuotaNotice: time");
        return 0;
    }
    FILE *out = fopen(NoticePath(mountPoint, ".tmp").c_str(), "w");
    if (out == nullptr) return 0;
    FILE *in = fopen(NoticePath(mountPoint, "").c_str(), "a+");
    if (in == nullptr) {
        fclose(out);
        RemoveNoticeScratch(mountPoint);
        return 0;
    }
    rewind(in);
    int first = 0;
    int due = RewriteQuotaNotice(in, out, name, kind, frequency, now, &first);
    fclose(in);
    if (fclose(out) != 0) {
        // A notice that could not be stored would be mailed again on every run.
        RemoveNoticeScratch(mountPoint);
        return 0;
    }
    MoveNotice(mountPoint);
    if (first) {
        std::string text = "<quotaLogModuleName>\t\t ";
        size_t length = strlen(name);
        if (length < 2) team = false;
        text += team ? "<quotaTeam>" : "<quotaUser>";
        text += team ? std::string(name, length - 2) : std::string(name);
        text += kind == 0 ? "<quotaReachWarningLevel>" : "<quotaReachQuotaLimit>";
        SendLogRecord(text.c_str());
    }
    return due;
}

void RemoveQuotaNotice(const char *name, const char *mountPoint) {
    FILE *out = fopen(NoticePath(mountPoint, ".tmp").c_str(), "w+");
    if (out == nullptr) return;
    FILE *in = fopen(NoticePath(mountPoint, "").c_str(), "a+");
    if (in == nullptr) {
        fclose(out);
        RemoveNoticeScratch(mountPoint);
        return;
    }
    rewind(in);
    char line[1024];
    bool inSection = false, lineStart = true;
    while (fgets(line, sizeof(line), in) != nullptr) {
        bool start = lineStart;
        size_t length = strlen(line);
        lineStart = length > 0 && line[length - 1] == '\n';
        if (start && StartsWith(line, "name")) inSection = NoticeValue(line) == name;
        if (!inSection) fputs(line, out);
    }
    fclose(in);
    fclose(out);
    MoveNotice(mountPoint);
}
