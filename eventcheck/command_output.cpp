// command_output.cpp -- parsing what mount, df and repquota print, the language table and the user
// list.
//
// Words are taken by a tokenizer of our own, so a word of any length is
// copied whole and never overruns a buffer.
#include <stdlib.h>
#include <string.h>

#include "orlinda.h"

// The words of a line, split at blanks, tabs and line ends.
static std::vector<std::string> Words(const char *line, size_t wanted) {
    std::vector<std::string> words;
    const char *p = line;
    while (*p != '\0' && words.size() < wanted) {
        p += strspn(p, " \t\r\n\v\f");
        if (*p == '\0') break;
        size_t length = strcspn(p, " \t\r\n\v\f");
        words.emplace_back(p, length);
        p += length;
    }
    return words;
}

int ParseMountLine(const char *line, std::string *device, std::string *type) {
    std::vector<std::string> words = Words(line, 5);
    if (words.size() < 5) return 1;
    *device = words[0];
    *type = words[4];
    return 0;
}

int ParseDfLine(const char *line, std::string *mountPoint) {
    std::vector<std::string> words = Words(line, 6);
    if (words.size() < 6) return 1;
    *mountPoint = words[5];
    return 0;
}

int QuotaVolumeLabel(const std::string &mountPoint, std::string *label) {
    if (mountPoint.size() < 11 || mountPoint.compare(0, 8, "/mnt/USB") != 0) return 1;
    const char *volumeLabel = VolumeLabel(mountPoint[8] - '0');
    if (volumeLabel == nullptr) return 1;
    *label = volumeLabel + mountPoint.substr(10);
    return 0;
}

int ParseRepquotaLine(const char *line, int *started, int *ended, RepquotaLine *out) {
    if (*ended) return 0;
    if (!*started) {
        if (line[0] == '-') *started = 1;
        return 0;
    }
    if (line[0] == '\0' || line[0] == '\n' || (line[0] == '\r' && line[1] == '\n')) {
        *ended = 1;
        return 0;
    }
    std::vector<std::string> words = Words(line, 3);
    if (words.size() < 3 || words[0][0] == '#') return 0;
    out->name = words[0];
    out->usedKb = strtoll(words[2].c_str(), nullptr, 10);
    return 1;
}

int ParseLanguageCode(FILE *in, int language, std::string *code) {
    // 0 before the table, 1 after its "var" line, 2 inside the parentheses.
    int state = 0;
    long count = 0;
    char line[1024];
    while (fgets(line, sizeof(line), in) != nullptr) {
        if (state == 0) {
            if (strncmp(line, "var languageIdSet = new Array", 29) == 0) state = 1;
        } else if (state == 1) {
            if (line[0] == '(') state = 2;
        } else if (line[0] == ')') {
            return 1;
        } else if (count++ == static_cast<long>(language) + 1) {
            const char *open = strchr(line, '"');
            const char *close = open != nullptr ? strchr(open + 1, '"') : nullptr;
            if (close == nullptr || close - open - 1 < 2) return 1;
            code->assign(open + 1, 2);
            return 0;
        }
    }
    return 1;
}

std::vector<std::string> ParseNasUsers(const char *value) {
    std::vector<std::string> users;
    if (value[0] == '\0') return users;
    if (strchr(value, ',') == nullptr) {
        if (strlen(value) < 21) users.push_back(value);
        return users;
    }
    const char *p = value;
    for (;;) {
        size_t length = strcspn(p, ",");
        // A name longer than its 20-character slot keeps its place but matches nobody.
        users.push_back(length <= 20 ? std::string(p, length) : std::string());
        if (p[length] == '\0') break;
        p += length + 1;
    }
    return users;
}
