// media_folders.cpp -- the shared media folders of "/media.conf" and the missing-folder mail.
//
// A missing folder is mailed when it goes missing after another one was
// already reported; the very first list of missing folders is only recorded.
// The list has no fixed size: every missing folder is kept and mailed.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static const char *const kLabels[VOLUME_COUNT] = {"[USB1]", "[USB2]", "[eSATA]", "[RAID]",
                                                  "[HDD1]", "[HDD2]", "[HDD3]",  "[HDD4]"};

const char *VolumeLabel(int volume) {
    return volume >= 1 && volume <= VOLUME_COUNT ? kLabels[volume - 1] : nullptr;
}

int ConvertMediaFolder(const char *line, std::string *path) {
    for (int volume = 1; volume <= VOLUME_COUNT; volume++) {
        const char *label = kLabels[volume - 1];
        size_t length = strlen(label);
        if (strncmp(line, label, length) != 0) continue;
        std::string converted = "USB" + std::to_string(volume) + "\\" + (line + length);
        for (char &c : converted) {
            if (c == '\\') c = '/';
        }
        *path = converted;
        return 0;
    }
    return 1;
}

static const char kTrigger[] = NAS_SYSTEM_PREFIX "email/emailMediaFolder";

// The missing folders of "/media.conf", raw lines; one not in the reported
// list (matched whole) raises the mail trigger.
static void FindMissingFolders(FILE *conf, const std::set<std::string> &reported,
                               std::vector<std::string> *missing) {
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, conf)) >= 0) {
        std::string raw(line, static_cast<size_t>(length));
        if (!raw.empty() && raw.back() == '\n') raw.pop_back();
        std::string converted;
        if (ConvertMediaFolder(raw.c_str(), &converted) != 0) continue;
        std::string folder = "/mnt/" + converted;
        if (DirectoryState(folder.c_str()) != 0) continue;
        missing->push_back(raw);
        if (!reported.empty() && reported.count(raw) == 0 && !FileExists(kTrigger)) {
            CreateMarker(kTrigger);
        }
    }
    free(line);
}

// Returns 0 when the mail was started.
static int MailMissingFolders(const std::vector<std::string> &missing) {
    std::string body;
    if (missing.size() == 1) {
        body = missing[0] + " $$$emailMediaNoFolderOne";
    } else {
        for (size_t i = 0; i + 1 < missing.size(); i++) {
            if (i > 0) body += ", ";
            body += missing[i];
        }
        body += " $$$emailAnd " + missing.back() + " $$$emailMediaNoFolderTwo";
    }
    return StartMail(0, "emailMediaNoFolderSubject", body, kTrigger, 1, std::string());
}

// Keeps the list of missing folders in "/tmp/" and on the system volume,
// rewritten only when it changed.
static void StoreMissingFolders(const std::vector<std::string> &missing) {
    std::string text;
    for (const std::string &folder : missing) text += folder + "\n";
    std::string current;
    if (ReadTextFile("/tmp/emailMediaFolderItem", &current) == 0 && current == text) return;
    if (ReplaceText("/tmp/emailMediaFolderItem", text) != 0) return;
    ReplaceText(NAS_SYSTEM_PREFIX "email/emailMediaFolderItem", text);
    sync();
}

void CheckMediaFolders(EventRun *run) {
    std::set<std::string> reported = ReadLineSet("/tmp/emailMediaFolderItem");
    if (run->settings.mediaServerEnable != 1) return;
    FILE *conf = fopen(NasPath("/media.conf").c_str(), "r");
    if (conf == nullptr) return;
    std::vector<std::string> missing;
    FindMissingFolders(conf, reported, &missing);
    fclose(conf);
    if (missing.empty()) {
        RemoveFile("/tmp/emailMediaFolderItem");
        RemoveFile(NAS_SYSTEM_PREFIX "email/emailMediaFolderItem");
        return;
    }
    // The list is kept only once the mail it triggers was started, so a
    // mail that could not be started is tried again on the next run.
    if (FileExists(kTrigger) && MailMissingFolders(missing) != 0) return;
    StoreMissingFolders(missing);
}
