// handoff_history.h -- hand-off records: the pending record files and the history file.
//
// A record is a section line "[user]" and lines of key, tab and value:
// type, size, send_time, file_name, files_id, internet_link, lan_link,
// expired_time, status ("" while pending, then "Success" or "Failed") and
// email_path (always empty). The history file holds the finished records,
// newest first; a pending record waits in "history_<filesId>.tmp".
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "handoff_config.h"
#include "handoff_files.h"

struct HistoryRecord {
    std::string section;  // user name
    std::string type;
    std::string size;  // kilobytes, decimal text
    std::string sendTime;
    std::string fileName;
    std::string filesId;
    std::string internetLink;
    std::string lanLink;
    std::string expiredTime;
    std::string status;
    std::string emailPath;
};

// Lines longer than this are read as their first kHistoryLineMax characters;
// the rest of such a line is skipped, never read as a line of its own.
static const size_t kHistoryLineMax = 511;

// Reads every record of text: lines before the first line beginning with "["
// are skipped; a record runs up to the next such line or the end; unknown
// keys and lines without a tab are skipped; a section line without "]" takes
// the rest of the line. Fields of one record never reach another.
std::vector<HistoryRecord> ParseHistoryText(const std::string &text);

// The record in the file format, every line ending in "\n".
std::string FormatHistoryRecord(const HistoryRecord &record);

// Writes the pending record of a new hand-off (send_time = now, status and
// email_path empty) and flushes it. Returns 0, or 1.
int WritePendingRecord(const HandoffConfig *config, const std::string &filesId,
                       const std::string &expiry, const std::string &user, long long size,
                       const std::string &fileName, const std::string &internetLink,
                       const std::string &lanLink, const std::string &type);

// Creates a hand-off of user under the store lock: checks the room for size
// again (freeKb free on the volume), picks a new filesId, writes its pending
// record and adds size to the counters in one change, and only then makes
// its two share folders. A process killed at any moment so leaves no share
// folder without a record (at worst a record whose folders were not made,
// which delete_tmp_share removes). Fills filesId, links (br0Address read
// before) and expiry. Returns 0; 1 when there is no room; 2 when no id could
// be had, the change could not be written or the folders could not be made
// (the record is then dropped again): nothing is left made.
int CreateHandOff(const HandoffConfig *config, const std::string &user, long long size,
                  const std::string &fileName, const std::string &type, int64_t freeKb,
                  std::string *filesId, HandoffLinks *links, std::string *expiry);

// Results of FinishHandOff.
enum {
    FINISH_SUCCESS = 0,      // moved into the final share, recorded "Success"
    FINISH_FAILED = 1,       // recorded "Failed"
    FINISH_REFUSED = 2,      // no pending record to claim: nothing changed
    FINISH_NOT_WRITTEN = 3,  // the history could not be rewritten: nothing changed
};

// Finishes filesId's hand-off once. Under the store lock it claims the
// pending record (refused when it is missing, held by a running copy other
// than this process, or, with owner set, another account's); when ok, moves
// the temporary folder into the final share (a rename within the volume);
// then puts the record with "Success" (moved) or "Failed" at the top of the
// history and removes the pending record in one journalled change. A change
// that cannot be written moves the folder back.
int FinishHandOff(const HandoffConfig *config, const std::string &filesId, const std::string *owner,
                  int ok, int byCopy);

// The previous entry point: FinishHandOff by anyone, moving when result is
// "Success".
void FinishRecord(const HandoffConfig *config, const std::string &filesId,
                  const std::string &result);

// Gives the space of filesId's pending record back and deletes the file, in
// one change under the lock.
void DropPendingRecord(const HandoffConfig *config, const std::string &filesId);

// Drops every history record whose files_id contains pattern (and, with
// owner set, whose section is owner) and gives its space back, in one change
// under the lock. removeShares 0 (delete_shared_files): the dropped records
// are printed. removeShares 1 (delete_history): each dropped record's final
// share folder is removed too, after the change. Returns 0; 1 when the change
// cannot be written (nothing changed); 2 when there is no history file
// (nothing done).
int DropHistoryRecords(const HandoffConfig *config, const std::string &pattern, int removeShares,
                       const std::string *owner = nullptr);

// The records of user, in file order. Returns 0, or 1 when there is no
// history file.
int ReadHistoryRecords(const HandoffConfig *config, const std::string &user,
                       std::vector<HistoryRecord> *records);

// The account of filesId's hand-off: its pending record's section, else that
// of the history record with exactly that files_id. Returns 1 when found.
int HandOffOwner(const HandoffConfig *config, const std::string &filesId, std::string *owner);
