// handoff_status.h -- per-user space accounting in the status file.
//
// "parcelo_status.conf" holds "total_available_space\t<KB>\n", then per user
// "[user]\n" and "user_available_space\t<KB>\n". Despite the names the numbers
// are kilobytes used by hand-offs; they are decimal and never negative. Every
// change writes the new total and the user's section first, then the other
// lines of the old file, into a scratch file copied or moved over the file.
// All arithmetic is 64-bit on values clamped when read, so a corrupt number
// cannot overflow it. Every read-modify-write runs under the system folder's
// lock (handoff_store.h) and replaces the file by rename.
#pragma once

#include <stdint.h>

#include <string>

#include "handoff_config.h"

// The counters of one user as texts ("0" when the line is missing).
struct SpaceCounters {
    std::string total;
    std::string user;
};

// Takes the total and the user's counter from status text. *hasTotal and
// *hasUser say whether the lines were there.
void ParseSpaceCounters(const std::string &text, const std::string &user, SpaceCounters *counters,
                        int *hasTotal, int *hasUser);

// The status text with the total and user lines first and the old text's
// other lines after them (old total line, user's section line and the line
// after it left out).
std::string RewriteStatusText(const std::string &old, const std::string &user, int64_t total,
                              int64_t userValue);

// A decimal text as a number: leading blanks and digits (and a sign) count,
// anything else is 0; the result is clamped to +-kSpaceNumberMax.
static const int64_t kSpaceNumberMax = static_cast<int64_t>(1) << 60;
int64_t SpaceNumber(const std::string &text);

// REQUIRES: the store lock is held. The status text for user: the file's
// text, or a new one (a section for every account of NAS_USER_NAME) when it
// is missing, with the total line or user's section appended when they are
// missing. *amended is 1 when the text differs from the file. Returns 0, or 1
// when the file exists but cannot be read.
int LoadStatusText(const HandoffConfig *config, const std::string &user, std::string *text,
                   int *amended);

// text with the total line and user's section appended when missing.
std::string AmendStatusText(const std::string &text, const std::string &user);

// 1 when the counters of text leave room for size more kilobytes of user.
int SpaceAllows(const HandoffConfig *config, const std::string &text, const std::string &user,
                int64_t size, int64_t freeKb);

// The status text with size added to the total and to user's counter.
std::string AddSpaceText(const std::string &text, const std::string &user, int64_t size);

// The status text with sizeText given back by user (each counter kept at 0
// or above); text itself when there is nothing to give back (sizeText or a
// counter empty, or a total that reads "unlimit").
std::string GiveBackText(const std::string &text, const std::string &user,
                         const std::string &sizeText);

// Loads user's counters, creating the file (a section for every account of
// NAS_USER_NAME) or appending the missing total line or user section first.
// Returns 0, or 1 when the file can be neither read nor created.
int LoadSpaceCounters(const HandoffConfig *config, const std::string &user,
                      SpaceCounters *counters);

// 1 when user may hand over size kilobytes more, else 0 ("error_no: 1" is
// printed when the counters cannot be loaded).
int CheckSpace(const HandoffConfig *config, const std::string &user, int64_t size);
// The same with the volume's free kilobytes already measured.
int CheckSpaceWithFree(const HandoffConfig *config, const std::string &user, int64_t size,
                       int64_t freeKb);

// Adds size to the total and to user's counter. Returns 0, or 1 when a file
// cannot be opened.
int AddUsedSpace(const HandoffConfig *config, const std::string &user, int64_t size);

// Takes sizeText kilobytes off the total and user's counter, each kept at 0
// or above. Does nothing when the counters cannot be loaded, sizeText or a
// counter is empty, or the total reads "unlimit".
void GiveSpaceBack(const HandoffConfig *config, const std::string &user,
                   const std::string &sizeText);
