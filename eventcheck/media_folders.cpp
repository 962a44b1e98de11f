// media_folders.cpp -- the shared media folders of "/media.conf" and the missing-folder mail.
//
// A missing folder is mailed when it goes missing after another one was
// already reported; the very first list of missing folders is only recorded.
// The list has no fixed size: every missing folder is kept and mailed.
#include <string.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

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

// The missing folders of "/media.conf", raw lines; a new one not in the
// reported list raises the mail trigger.
static void FindMissingFolders(FILE *conf, const std::string &reported,
                               std::vector<std::string> *missing) {
    std::vector<char> line(270);
    while (fgets(line.data(), static_cast<int>(line.size()), conf) != nullptr) {
        line[strcspn(line.data(), "\n")] = '\0';
        std::string converted;
        if (ConvertMediaFolder(line.data(), &converted) != 0) continue;
        std::string folder = "/mnt/" + converted;
        if (DirectoryState(folder.c_str()) != 0) continue;
        missing->push_back(line.data());
        if (!reported.empty() && reported.find(line.data()) == std::string::npos &&
            !FileExists(kTrigger)) {
            FILE *trigger = fopen(NasPath(kTrigger).c_str(), "w");
            if (trigger != nullptr) fclose(trigger);
        }
    }
}

static void MailMissingFolders(const std::vector<std::string> &missing) {
    MailBody body;
    if (missing.size() == 1) {
        MailBodyQuoted(&body, missing[0]);
        MailBodyFixed(&body, " $\\$\\$emailMediaNoFolderOne");
    } else {
        for (size_t i = 0; i + 1 < missing.size(); i++) {
            if (i > 0) MailBodyFixed(&body, ", ");
            MailBodyQuoted(&body, missing[i]);
        }
        MailBodyFixed(&body, " $\\$\\$emailAnd ");
        MailBodyQuoted(&body, missing.back());
        MailBodyFixed(&body, " $\\$\\$emailMediaNoFolderTwo");
    }
    StartMail(0, "emailMediaNoFolderSubject", body, kTrigger, 1, std::string());
}

// Keeps the list of missing folders in "/tmp/" and on the system volume.
static void StoreMissingFolders(const std::vector<std::string> &missing) {
    std::string current = NasPath("/tmp/emailMediaFolderItem");
    std::string fresh = NasPath("/tmp/emailMediaFolderItem_bak");
    FILE *file = fopen(fresh.c_str(), "w");
    if (file == nullptr) return;
    for (const std::string &folder : missing) fprintf(file, "%s\n", folder.c_str());
    fclose(file);
    ShellCommand command;
    if (FileExists("/tmp/emailMediaFolderItem")) {
        BuildShellCommand(&command, "diff", {fresh.c_str(), current.c_str()});
        if (ShellCommandRun(&command) == 0) return;
    }
    BuildShellCommand(&command, "cp -f", {fresh.c_str(), current.c_str()});
    ShellCommandRun(&command);
    BuildShellCommand(
        &command, "mv -f",
        {fresh.c_str(), NasPath(NAS_SYSTEM_PREFIX "email/emailMediaFolderItem").c_str()});
    ShellCommandRun(&command);
    sync();
}

void CheckMediaFolders(void) {
    std::vector<std::string> lines;
    ReadTextLines("/tmp/emailMediaFolderItem", 270, false, &lines);
    std::string reported = JoinBlank(lines);
    if (SettingNumber(SETTING_MEDIA_SERVER_ENABLE) != 1) return;
    FILE *conf = fopen(NasPath("/media.conf").c_str(), "r");
    if (conf == nullptr) return;
    std::vector<std::string> missing;
    FindMissingFolders(conf, reported, &missing);
    fclose(conf);
    // With no folder missing there is nothing to mail, even if a trigger is left.
    if (!missing.empty() && FileExists(kTrigger)) MailMissingFolders(missing);
    if (missing.empty()) {
        RemoveFile("/tmp/emailMediaFolderItem");
        RemoveFile(NAS_SYSTEM_PREFIX "email/emailMediaFolderItem");
        return;
    }
    StoreMissingFolders(missing);
}
