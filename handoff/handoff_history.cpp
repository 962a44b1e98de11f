// handoff_history.cpp -- reading and rewriting hand-off records.
#include "handoff_history.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "handoff_files.h"
#include "handoff_status.h"
#include "handoff_textfile.h"
#include "nas_path.h"
#include "shell_command.h"

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

int WritePendingRecord(const HandoffConfig *config, const std::string &filesId,
                       const std::string &expiry, const std::string &user, long long size,
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
    return WriteTextFile(PendingRecordPath(config, filesId), FormatHistoryRecord(r)) == 0 ? 0 : 1;
}

void FinishRecord(const HandoffConfig *config, const std::string &filesId,
                  const std::string &result) {
    std::string pending = PendingRecordPath(config, filesId);
    std::string text;
    if (ReadTextFile(pending, &text) != 0) {
        printf("Read: %s\n", strerror(errno));
        return;
    }
    std::vector<HistoryRecord> records = ParseHistoryText(text);
    if (records.empty()) return;
    records[0].status = result;
    if (WriteTextFile(pending, FormatHistoryRecord(records[0])) != 0) {
        printf("Write: %s\n", strerror(errno));
        return;
    }
    std::string history = HistoryFilePath(config);
    ShellCommand c;
    ShellCommandBegin(&c, "cat");
    ShellCommandWord(&c, NasPath(history.c_str()).c_str());
    ShellCommandText(&c, " 2>/dev/null >>");
    ShellCommandGlue(&c, NasPath(pending.c_str()).c_str());
    ShellCommandRun(&c);
    MoveOrCopyFile("cp", pending, history);
    unlink(NasPath(pending.c_str()).c_str());
}

void DropPendingRecord(const HandoffConfig *config, const std::string &filesId) {
    std::string pending = PendingRecordPath(config, filesId);
    std::string text;
    if (ReadTextFile(pending, &text) != 0) return;
    std::vector<HistoryRecord> records = ParseHistoryText(text);
    if (!records.empty() && !records[0].section.empty() && records[0].filesId == filesId)
        GiveSpaceBack(config, records[0].section, records[0].size);
    unlink(NasPath(pending.c_str()).c_str());
}

int DropHistoryRecords(const HandoffConfig *config, const std::string &pattern, int removeShares) {
    std::string history = HistoryFilePath(config);
    std::string text;
    if (ReadTextFile(history, &text) != 0) return 2;
    std::string kept;
    for (const HistoryRecord &r : ParseHistoryText(text)) {
        if (r.filesId.find(pattern) == std::string::npos) {
            kept += FormatHistoryRecord(r);
            continue;
        }
        if (removeShares) {
            // An id read from the file names a folder only when it cannot leave the tree.
            if (FilesIdIsSafe(r.filesId, 0)) RemoveTree(FinalShareFolder(config, r.filesId));
        } else {
            printf("the user name is %s\n", r.section.c_str());
            printf("the file id is %s\n", r.filesId.c_str());
            printf("the file size is %s\n", r.size.c_str());
        }
        GiveSpaceBack(config, r.section, r.size);
    }
    std::string scratch =
        removeShares ? history + "_tmp" : SystemFolderFile(config, "tmp_history.txt");
    if (WriteTextFile(scratch, kept) != 0) return 1;
    if (removeShares) {
        MoveOrCopyFile("cp", scratch, history);
        unlink(NasPath(scratch.c_str()).c_str());
    } else {
        MoveOrCopyFile("mv", scratch, history);
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
