// quota_files.cpp -- the user and team quota files of a volume, and the level tests.
//
// Lines are "key =value": the key is the first blank-separated word, the value
// everything after the first "=" with the line end cut. Long lines are taken
// in pieces of the read buffer; only a piece that starts a line has a key.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "orlinda.h"

int SplitQuotaLine(const char *line, std::string *key, std::string *value) {
    const char *p = line + strspn(line, " \t");
    size_t length = strcspn(p, " \t\r\n=");
    if (length == 0) return 1;
    key->assign(p, length);
    const char *equals = strchr(line, '=');
    if (equals == nullptr) {
        value->clear();
    } else {
        value->assign(equals + 1, strcspn(equals + 1, "\r\n"));
    }
    return 0;
}

int ParseQuotaSet(const std::string &value) {
    if (value == "No Limit") return 0;
    if (value == "Warning and Quota") return 1;
    if (value == "Quota Only") return 2;
    if (value == "Default") return -1;
    return -2;
}

static int UserIndex(const std::vector<std::string> &nasUsers, const std::string &name) {
    if (name.empty()) return -1;
    auto found = std::find(nasUsers.begin(), nasUsers.end(), name);
    return found == nasUsers.end() ? -1 : static_cast<int>(found - nasUsers.begin());
}

// Reads the keyed lines of a quota file, calling take(key, value) for each.
template <typename Take>
static void ReadKeyedLines(FILE *in, Take take) {
    char line[1024];
    bool lineStart = true;
    while (fgets(line, sizeof(line), in) != nullptr) {
        bool start = lineStart;
        size_t length = strlen(line);
        lineStart = length > 0 && line[length - 1] == '\n';
        std::string key, value;
        if (start && SplitQuotaLine(line, &key, &value) == 0) take(key, value);
    }
}

// The values of quotaSet, warningLevel and quotaLimit lines.
static void TakeLevel(const std::string &key, const std::string &value, QuotaSection *section) {
    if (key == "quotaSet") {
        section->quotaSet = ParseQuotaSet(value);
    } else if (key == "warningLevel") {
        section->warningLevel = strtoll(value.c_str(), nullptr, 10);
    } else if (key == "quotaLimit") {
        section->quotaLimit = strtoll(value.c_str(), nullptr, 10);
    }
}

void ReadQuotaUserFile(FILE *in, const std::vector<std::string> &nasUsers, QuotaFiles *files) {
    files->mailAddress.resize(nasUsers.size());
    enum { NONE, DEFAULTS, USER, IGNORED } state = NONE;
    QuotaSection section;
    int index = -1;
    ReadKeyedLines(in, [&](const std::string &key, const std::string &value) {
        if (key == "userName") {
            index = UserIndex(nasUsers, value);
            state = index >= 0 ? USER : IGNORED;
            section = QuotaSection();
        } else if (key == "DefaultSetting") {
            state = DEFAULTS;
            section = QuotaSection();
        } else if (key == "userEnd") {
            if (state == USER) files->users.push_back({index, section});
            if (state == DEFAULTS) files->defaults = section;
            state = NONE;
            section = QuotaSection();
        } else if (key == "mailAddress") {
            if (state == USER && !value.empty()) files->mailAddress[index] = value;
        } else if (state == USER || state == DEFAULTS) {
            TakeLevel(key, value, &section);
        }
    });
}

void ReadQuotaTeamFile(FILE *in, const std::vector<std::string> &nasUsers, QuotaFiles *files) {
    bool open = false;
    QuotaTeamEntry team;
    ReadKeyedLines(in, [&](const std::string &key, const std::string &value) {
        if (key == "teamName") {
            // Members are those of this team's own member line, never a former team's.
            team = QuotaTeamEntry();
            team.name = value;
            open = true;
        } else if (!open) {
            return;
        } else if (key == "teamMemeber") {
            team.members.clear();
            if (team.name == "Anonymous") return;
            for (const std::string &name : ParseNasUsers(value.c_str())) {
                int index = UserIndex(nasUsers, name);
                if (index >= 0 && std::find(team.members.begin(), team.members.end(), index) ==
                                      team.members.end()) {
                    team.members.push_back(index);
                }
            }
        } else if (key == "teamEnd") {
            files->teams.push_back(team);
            open = false;
        } else {
            TakeLevel(key, value, &team.section);
        }
    });
}

// megabytes * 1024, held within 64 bits.
static int64_t Kilobytes(int64_t megabytes) {
    if (megabytes > INT64_MAX / 1024) return INT64_MAX;
    if (megabytes < INT64_MIN / 1024) return INT64_MIN;
    return megabytes * 1024;
}

int QuotaReached(const QuotaSection &section, int64_t usedKb) {
    // An empty or zero limit is no limit.
    int64_t limit = Kilobytes(section.quotaLimit);
    if (section.quotaLimit > 0 && usedKb >= limit - 1) return 2;
    if (usedKb >= Kilobytes(section.warningLevel) && section.quotaSet == 1) return 1;
    return 0;
}
