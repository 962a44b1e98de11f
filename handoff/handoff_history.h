// handoff_history.h -- hand-off records: the pending record files and the history file.
//
// A record is a section line "[user]" and lines of key, tab and value:
// type, size, send_time, file_name, files_id, internet_link, lan_link,
// expired_time, status ("" while pending, then "Success" or "Failed") and
// email_path (always empty). The history file holds the finished records,
// newest first; a pending record waits in "history_<filesId>.tmp".
#pragma once

#include <string>
#include <vector>

#include "handoff_config.h"

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

// Gives the pending record of filesId the status result and puts it at the
// top of the history. An unreadable pending file leaves the history as it was.
void FinishRecord(const HandoffConfig *config, const std::string &filesId,
                  const std::string &result);

// Gives the space of filesId's pending record back and deletes the file.
void DropPendingRecord(const HandoffConfig *config, const std::string &filesId);

// Drops every history record whose files_id contains pattern and gives its
// space back. removeShares 0 (delete_shared_files): the dropped records are
// printed and the kept ones moved over the history through "tmp_history.txt".
// removeShares 1 (delete_history): each dropped record's final share folder
// is removed too and the kept ones go through the history name + "_tmp".
// Returns 0; 1 when the scratch file cannot be created; 2 when there is no
// history file (nothing done).
int DropHistoryRecords(const HandoffConfig *config, const std::string &pattern, int removeShares);

// The records of user, in file order. Returns 0, or 1 when there is no
// history file.
int ReadHistoryRecords(const HandoffConfig *config, const std::string &user,
                       std::vector<HistoryRecord> *records);
