// files_fuzz.cpp -- fuzz target over the history and status file readers.
//
// The input is the content of a history or status file. Every record read
// from it, written in the record format and read again, must give the same
// record when its values can be written (no line ends, a section without
// "]", lines within the reader's length); the status text, rewritten with
// new counters, must give those counters back, and its numbers go through
// the counters' arithmetic without overflow.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "handoff_history.h"
#include "handoff_status.h"

static void Check(bool ok) {
    if (!ok) abort();
}

static bool Writable(const HistoryRecord &r) {
    const std::string *values[] = {&r.type,    &r.size,         &r.sendTime, &r.fileName,
                                   &r.filesId, &r.internetLink, &r.lanLink,  &r.expiredTime,
                                   &r.status,  &r.emailPath};
    if (r.section.find_first_of("]\n") != std::string::npos) return false;
    if (r.section.size() + 2 > kHistoryLineMax) return false;
    for (const std::string *v : values) {
        if (v->find('\n') != std::string::npos || v->size() + 20 > kHistoryLineMax) return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    for (const HistoryRecord &r : ParseHistoryText(text)) {
        std::string line = FormatHistoryRecord(r);
        std::vector<HistoryRecord> again = ParseHistoryText(line);
        Check(again.size() == 1);
        if (!Writable(r)) continue;
        const HistoryRecord &a = again[0];
        Check(a.section == r.section && a.type == r.type && a.size == r.size &&
              a.sendTime == r.sendTime && a.fileName == r.fileName && a.filesId == r.filesId &&
              a.internetLink == r.internetLink && a.lanLink == r.lanLink &&
              a.expiredTime == r.expiredTime && a.status == r.status && a.emailPath == r.emailPath);
    }
    std::string user = size > 0 ? text.substr(0, data[0] % 8) : "alice";
    if (user.find_first_of("\n") != std::string::npos) return 0;
    SpaceCounters counters;
    int hasTotal, hasUser;
    ParseSpaceCounters(text, user, &counters, &hasTotal, &hasUser);
    int64_t total = SpaceNumber(counters.total), mine = SpaceNumber(counters.user);
    Check(total <= kSpaceNumberMax && total >= -kSpaceNumberMax);
    Check(mine <= kSpaceNumberMax && mine >= -kSpaceNumberMax);
    // The file's values go through every sum and difference the server
    // makes; under the sanitizers an overflow would end the run.
    HandoffConfig config = HandoffConfig();
    config.totalSpace = counters.total;
    config.eachUserMaxSpace = counters.user;
    SpaceAllows(&config, text, user, 4294967295LL, 0);
    std::string added = AddSpaceText(text, user, 4294967295LL);
    GiveBackText(added, user, counters.total);
    GiveBackText(text, user, "-" + counters.user);
    std::string rewritten = RewriteStatusText(text, user, 1234567890123LL, 42);
    ParseSpaceCounters(rewritten, user, &counters, &hasTotal, &hasUser);
    Check(hasTotal && hasUser && counters.total == "1234567890123" && counters.user == "42");
    return 0;
}
