// handoff_history.cpp -- reading and rewriting hand-off records.
#include "handoff_history.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "handoff_files.h"
#include "handoff_status.h"
#include "handoff_store.h"
#include "nas_path.h"
#include "shell_command.h"
#include "text_file.h"

static void TakeField(HistoryRecord *r, const std::string &key, const std::string &value) {
    struct Field {
        const char *key;
        std::string HistoryRecord::*member;
    };
    static const Field kFields[] = {
        {"type", &HistoryRecord::type},          {"size", &HistoryRecord::size},
        {"send_time", &HistoryRecord::sendTime}, {"file_name", &HistoryRecord::fileName},
        {"files_id", &HistoryRecord::filesId},   {"internet_link", &HistoryRecord::internetLink},
        {"lan_link", &HistoryRecord::lanLink},   {"expired_time", &HistoryRecord::expiredTime},
        {"status", &HistoryRecord::status},      {"email_path", &HistoryRecord::emailPath},
    };
    for (const Field &f : kFields) {
        if (key == f.key) {
            r->*f.member = value;
            return;
        }
    }
}

std::vector<HistoryRecord> ParseHistoryText(const std::string &text) {
    std::vector<HistoryRecord> records;
    HistoryRecord *current = nullptr;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t length = end - start;
        if (length > kHistoryLineMax) length = kHistoryLineMax;
        std::string line = text.substr(start, length);
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            size_t close = line.find(']');
            records.emplace_back();
            current = &records.back();
            current->section =
                line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            continue;
        }
        if (current == nullptr) continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        TakeField(current, line.substr(0, tab), line.substr(tab + 1));
    }
    return records;
}

std::string FormatHistoryRecord(const HistoryRecord &r) {
    return "[" + r.section + "]\n" + "type\t" + r.type + "\n" + "size\t" + r.size + "\n" +
           "send_time\t" + r.sendTime + "\n" + "file_name\t" + r.fileName + "\n" + "files_id\t" +
           r.filesId + "\n" + "internet_link\t" + r.internetLink + "\n" + "lan_link\t" + r.lanLink +
           "\n" + "expired_time\t" + r.expiredTime + "\n" + "status\t" + r.status + "\n" +
           "email_path\t" + r.emailPath + "\n";
}

static std::string PendingRecordText(const std::string &filesId, const std::string &expiry,
                                     const std::string &user, long long size,
                                     const std::string &fileName, const std::string &internetLink,
                                     const std::string &lanLink, const std::string &type) {
    HistoryRecord r;
    r.section = user;
    r.type = type;
    r.size = std::to_string(size);
    r.sendTime = FormatHandoffTime(time(nullptr));
    r.fileName = fileName;
    r.filesId = filesId;
    r.internetLink = internetLink;
    r.lanLink = lanLink;
    r.expiredTime = expiry;
    return FormatHistoryRecord(r);
}

int WritePendingRecord(const HandoffConfig *config, const std::string &filesId,
                       const std::string &expiry, const std::string &user, long long size,
                       const std::string &fileName, const std::string &internetLink,
                       const std::string &lanLink, const std::string &type) {
    std::string text =
        PendingRecordText(filesId, expiry, user, size, fileName, internetLink, lanLink, type);
    return ReplaceTextFile(PendingRecordPath(config, filesId), text) == 0 ? 0 : 1;
}

int CreateHandOff(const HandoffConfig *config, const std::string &user, long long size,
                  const std::string &fileName, const std::string &type, int64_t freeKb,
                  std::string *filesId, HandoffLinks *links, std::string *expiry) {
    int lock = HandoffStoreLock(config);
    if (lock < 0) return 2;
    std::string status;
    int amended, result = 0;
    if (LoadStatusText(config, user, &status, &amended) != 0) {
        printf("error_no: 1\n");
        result = 1;
    } else if (!SpaceAllows(config, status, user, size, freeKb)) {
        if (amended) ReplaceTextFile(StatusFilePath(config), status);
        result = 1;
    } else if (MakeFilesId(config, filesId) != 0 || MakeLinks(config, *filesId, links) != 0 ||
               (*expiry = ExpiryTime(config)).empty()) {
        result = 2;
    } else {
        HandoffChange change;
        change.writes.push_back({PendingRecordPath(config, *filesId),
                                 PendingRecordText(*filesId, *expiry, user, size, fileName,
                                                   links->internetLink, links->lanLink, type)});
        change.writes.push_back({StatusFilePath(config), AddSpaceText(status, user, size)});
        if (HandoffStoreCommit(config, &change) != 0) {
            result = 2;
        } else if (MakeShares(config, *filesId) != 0) {
            RemoveTree(TmpShareFolder(config, *filesId));
            RemoveTree(FinalShareFolder(config, *filesId));
            HandoffChange undo;
            undo.removals.push_back(PendingRecordPath(config, *filesId));
            undo.writes.push_back({StatusFilePath(config), status});
            HandoffStoreCommit(config, &undo);
            result = 2;
        }
    }
    HandoffStoreUnlock(lock);
    return result;
}

// Renames the temporary folder over the (empty) final folder of its id; when
// that cannot be a rename, "mv -f" into the final tree. 1 when it was moved.
static int MoveIntoFinalShare(const HandoffConfig *config, const std::string &filesId) {
    std::string from = NasPath(TmpShareFolder(config, filesId).c_str());
    std::string to = NasPath(FinalShareFolder(config, filesId).c_str());
    if (rename(from.c_str(), to.c_str()) == 0) return 1;
    ShellCommand c;
    BuildShellCommand(&c, "mv -f", {from.c_str(), NasPath(FinalShareTree(config).c_str()).c_str()});
    return ShellCommandRun(&c) == 0 && !FolderExists(TmpShareFolder(config, filesId)) ? 1 : 0;
}

int FinishHandOff(const HandoffConfig *config, const std::string &filesId, const std::string *owner,
                  int ok, int byCopy) {
    int lock = HandoffStoreLock(config);
    if (lock < 0) return FINISH_NOT_WRITTEN;
    std::string pending = PendingRecordPath(config, filesId);
    std::string text;
    std::vector<HistoryRecord> records;
    if (ReadTextFile(pending, &text) == 0) records = ParseHistoryText(text);
    if (records.empty() || (owner && records[0].section != *owner) ||
        (!byCopy && PendingRecordClaimant(config, filesId) != 0)) {
        HandoffStoreUnlock(lock);
        return FINISH_REFUSED;
    }
    int moved =
        ok && FolderExists(TmpShareFolder(config, filesId)) && MoveIntoFinalShare(config, filesId);
    records[0].status = moved ? "Success" : "Failed";
    std::string history;
    HandoffChange change;
    int readable = ReadTextFile(HistoryFilePath(config), &history) == 0 || errno == ENOENT;
    change.writes.push_back({HistoryFilePath(config), FormatHistoryRecord(records[0]) + history});
    change.removals.push_back(pending);
    if (!readable || HandoffStoreCommit(config, &change) != 0) {
        printf("Write: %s\n", strerror(errno));
        if (moved)
            rename(NasPath(FinalShareFolder(config, filesId).c_str()).c_str(),
                   NasPath(TmpShareFolder(config, filesId).c_str()).c_str());
        HandoffStoreUnlock(lock);
        return FINISH_NOT_WRITTEN;
    }
    HandoffStoreUnlock(lock);
    return moved ? FINISH_SUCCESS : FINISH_FAILED;
}

void FinishRecord(const HandoffConfig *config, const std::string &filesId,
                  const std::string &result) {
    FinishHandOff(config, filesId, nullptr, result == "Success", 0);
}

void DropPendingRecord(const HandoffConfig *config, const std::string &filesId) {
    int lock = HandoffStoreLock(config);
    if (lock < 0) return;
    std::string pending = PendingRecordPath(config, filesId);
    std::string text;
    if (ReadTextFile(pending, &text) == 0) {
        std::vector<HistoryRecord> records = ParseHistoryText(text);
        HandoffChange change;
        if (!records.empty() && !records[0].section.empty() && records[0].filesId == filesId) {
            std::string status;
            int amended;
            if (LoadStatusText(config, records[0].section, &status, &amended) == 0)
                change.writes.push_back(
                    {StatusFilePath(config),
                     GiveBackText(status, records[0].section, records[0].size)});
        }
        change.removals.push_back(pending);
        HandoffStoreCommit(config, &change);
    }
    HandoffStoreUnlock(lock);
}

int DropHistoryRecords(const HandoffConfig *config, const std::string &pattern, int removeShares,
                       const std::string *owner) {
    int lock = HandoffStoreLock(config);
    if (lock < 0) return 1;
    std::string history = HistoryFilePath(config);
    std::string text;
    if (ReadTextFile(history, &text) != 0) {
        HandoffStoreUnlock(lock);
        return 2;
    }
    std::string kept, status;
    int statusRead = 0;
    std::vector<std::string> dropped;
    for (const HistoryRecord &r : ParseHistoryText(text)) {
        if (r.filesId.find(pattern) == std::string::npos || (owner && r.section != *owner)) {
            kept += FormatHistoryRecord(r);
            continue;
        }
        if (!removeShares) {
            printf("the user name is %s\n", r.section.c_str());
            printf("the file id is %s\n", r.filesId.c_str());
            printf("the file size is %s\n", r.size.c_str());
        }
        dropped.push_back(r.filesId);
        if (!statusRead) {
            int amended;
            if (LoadStatusText(config, r.section, &status, &amended) != 0) continue;
            statusRead = 1;
        }
        status = GiveBackText(AmendStatusText(status, r.section), r.section, r.size);
    }
    HandoffChange change;
    change.writes.push_back({history, kept});
    if (statusRead) change.writes.push_back({StatusFilePath(config), status});
    int failed = HandoffStoreCommit(config, &change) != 0;
    HandoffStoreUnlock(lock);
    if (failed) return 1;
    if (removeShares) {
        // An id read from the file names a folder only when it cannot leave the tree.
        for (const std::string &id : dropped)
            if (FilesIdIsSafe(id, 0)) RemoveTree(FinalShareFolder(config, id));
    }
    return 0;
}

int HandOffOwner(const HandoffConfig *config, const std::string &filesId, std::string *owner) {
    std::string text;
    if (ReadTextFile(PendingRecordPath(config, filesId), &text) == 0) {
        std::vector<HistoryRecord> records = ParseHistoryText(text);
        if (!records.empty()) {
            *owner = records[0].section;
            return 1;
        }
    }
    if (ReadTextFile(HistoryFilePath(config), &text) != 0) return 0;
    for (const HistoryRecord &r : ParseHistoryText(text)) {
        if (r.filesId == filesId) {
            *owner = r.section;
            return 1;
        }
    }
    return 0;
}

int ReadHistoryRecords(const HandoffConfig *config, const std::string &user,
                       std::vector<HistoryRecord> *records) {
    std::string text;
    if (ReadTextFile(HistoryFilePath(config), &text) != 0) return 1;
    records->clear();
    for (HistoryRecord &r : ParseHistoryText(text)) {
        if (r.section == user) records->push_back(std::move(r));
    }
    return 0;
}
