// handoff_status.cpp -- reading and rewriting the space counters.
#include "handoff_status.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "flash_settings.h"
#include "handoff_files.h"
#include "handoff_store.h"
#include "nas_path.h"
#include "shell_command.h"
#include "text_file.h"

static const char kTotalKey[] = "total_available_space";
static const char kUserKey[] = "user_available_space";

static int StartsWith(const std::string &line, const char *prefix) {
    return line.compare(0, strlen(prefix), prefix) == 0;
}

static std::string ValueOf(const std::string &line) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) return "";
    std::string value = line.substr(tab + 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return value;
}

void ParseSpaceCounters(const std::string &text, const std::string &user, SpaceCounters *counters,
                        int *hasTotal, int *hasUser) {
    std::vector<std::string> lines = SplitLines(text);
    *hasTotal = 0;
    *hasUser = 0;
    counters->total = "0";
    counters->user = "0";
    std::string section = "[" + user + "]";
    for (size_t i = 0; i < lines.size(); i++) {
        if (!*hasTotal && StartsWith(lines[i], kTotalKey)) {
            counters->total = ValueOf(lines[i]);
            *hasTotal = 1;
        } else if (!*hasUser && lines[i] == section) {
            *hasUser = 1;
            if (i + 1 < lines.size()) counters->user = ValueOf(lines[i + 1]);
        }
    }
}

std::string RewriteStatusText(const std::string &old, const std::string &user, int64_t total,
                              int64_t userValue) {
    char head[128];
    snprintf(head, sizeof(head), "%s\t%lld\n", kTotalKey, static_cast<long long>(total));
    std::string text = head;
    text += "[" + user + "]\n";
    snprintf(head, sizeof(head), "%s\t%lld\n", kUserKey, static_cast<long long>(userValue));
    text += head;
    std::vector<std::string> lines = SplitLines(old);
    std::string section = "[" + user + "]";
    for (size_t i = 0; i < lines.size(); i++) {
        if (StartsWith(lines[i], kTotalKey)) continue;
        if (lines[i] == section) {
            i++;  // the user's counter line goes with its section
            continue;
        }
        text += lines[i] + "\n";
    }
    return text;
}

int64_t SpaceNumber(const std::string &text) {
    long long v = strtoll(text.c_str(), nullptr, 10);
    if (v > kSpaceNumberMax) return kSpaceNumberMax;
    if (v < -kSpaceNumberMax) return -kSpaceNumberMax;
    return v;
}

static std::string NewStatusText(void) {
    std::string text = std::string(kTotalKey) + "\t0\n";
    std::string list;
    if (FlashSettingText(SETTING_NAS_USER_NAME, &list) == 1) {
        for (const std::string &name : SplitAccountList(list, list.size() + 1)) {
            if (!name.empty()) text += "[" + name + "]\n" + kUserKey + "\t0\n";
        }
    }
    return text;
}

int LoadStatusText(const HandoffConfig *config, const std::string &user, std::string *text,
                   int *amended) {
    *amended = 0;
    if (config->shareRoot.empty()) return 1;
    if (ReadTextFile(StatusFilePath(config), text) != 0) {
        if (errno != ENOENT) return 1;
        *text = NewStatusText();
        *amended = 1;
    }
    std::string amendedText = AmendStatusText(*text, user);
    if (amendedText != *text) {
        text->swap(amendedText);
        *amended = 1;
    }
    return 0;
}

std::string AmendStatusText(const std::string &text, const std::string &user) {
    SpaceCounters counters;
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, &counters, &hasTotal, &hasUser);
    std::string more;
    if (!text.empty() && text.back() != '\n' && (!hasTotal || !hasUser)) more += "\n";
    if (!hasTotal) more += std::string(kTotalKey) + "\t0\n";
    if (!hasUser) more += "[" + user + "]\n" + kUserKey + "\t0\n";
    return text + more;
}

// Loads user's status text under the lock and writes it back when it was
// created or amended. Returns the lock's descriptor (still held), or -1.
static int LockAndLoad(const HandoffConfig *config, const std::string &user, std::string *text) {
    int lock = HandoffStoreLock(config);
    if (lock < 0) return -1;
    int amended = 0;
    if (LoadStatusText(config, user, text, &amended) != 0 ||
        (amended && ReplaceTextFile(StatusFilePath(config), *text) != 0)) {
        HandoffStoreUnlock(lock);
        return -1;
    }
    return lock;
}

int LoadSpaceCounters(const HandoffConfig *config, const std::string &user,
                      SpaceCounters *counters) {
    std::string text;
    int lock = LockAndLoad(config, user, &text);
    if (lock < 0) return 1;
    HandoffStoreUnlock(lock);
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, counters, &hasTotal, &hasUser);
    return 0;
}

int SpaceAllows(const HandoffConfig *config, const std::string &text, const std::string &user,
                int64_t size, int64_t freeKb) {
    if (config->totalSpace == "unlimited") return size < freeKb ? 1 : 0;
    SpaceCounters counters;
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, &counters, &hasTotal, &hasUser);
    int64_t totalRoom = SpaceNumber(config->totalSpace) - SpaceNumber(counters.total);
    int64_t userRoom = SpaceNumber(config->eachUserMaxSpace) - SpaceNumber(counters.user);
    return size < (totalRoom < userRoom ? totalRoom : userRoom) ? 1 : 0;
}

int CheckSpace(const HandoffConfig *config, const std::string &user, int64_t size) {
    return CheckSpaceWithFree(config, user, size, FreeSpace(config));
}

int CheckSpaceWithFree(const HandoffConfig *config, const std::string &user, int64_t size,
                       int64_t freeKb) {
    std::string text;
    int lock = LockAndLoad(config, user, &text);
    if (lock < 0) {
        printf("error_no: 1\n");
        return 0;
    }
    HandoffStoreUnlock(lock);
    return SpaceAllows(config, text, user, size, freeKb);
}

static int64_t NotNegative(int64_t v) { return v < 0 ? 0 : v; }

std::string AddSpaceText(const std::string &text, const std::string &user, int64_t size) {
    SpaceCounters counters;
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, &counters, &hasTotal, &hasUser);
    if (size > kSpaceNumberMax) size = kSpaceNumberMax;
    int64_t total = NotNegative(SpaceNumber(counters.total) + size);
    int64_t mine = NotNegative(SpaceNumber(counters.user) + size);
    return RewriteStatusText(text, user, total, mine);
}

std::string GiveBackText(const std::string &text, const std::string &user,
                         const std::string &sizeText) {
    SpaceCounters counters;
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, &counters, &hasTotal, &hasUser);
    if (sizeText.empty() || counters.total.empty() || counters.user.empty()) return text;
    if (counters.total.find("unlimit") != std::string::npos) return text;
    int64_t size = NotNegative(SpaceNumber(sizeText));
    int64_t total = NotNegative(SpaceNumber(counters.total) - size);
    int64_t mine = NotNegative(SpaceNumber(counters.user) - size);
    return RewriteStatusText(text, user, total, mine);
}

int AddUsedSpace(const HandoffConfig *config, const std::string &user, int64_t size) {
    std::string text;
    int lock = LockAndLoad(config, user, &text);
    if (lock < 0) return 1;
    int bad = ReplaceTextFile(StatusFilePath(config), AddSpaceText(text, user, size)) != 0;
    HandoffStoreUnlock(lock);
    return bad ? 1 : 0;
}

void GiveSpaceBack(const HandoffConfig *config, const std::string &user,
                   const std::string &sizeText) {
    std::string text;
    int lock = LockAndLoad(config, user, &text);
    if (lock < 0) return;
    std::string after = GiveBackText(text, user, sizeText);
    if (after != text && ReplaceTextFile(StatusFilePath(config), after) != 0)
        printf("Write: %s\n", strerror(errno));
    HandoffStoreUnlock(lock);
}
