// event_checks.cpp -- the LED warnings and the daemon, disk check, music and problem mails.
//
// The "-flag 0" mails are sent on every run while their condition lasts and
// their "Flag" file (made by the mail script) is absent; orlinda removes the
// flag file once the condition clears, so the next occurrence is mailed again.
#include <string.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

static const char kFsckMarker[] = NAS_SYSTEM_PREFIX "/sys/FSCK_DID_NOT_RUN";

// Creates marker and flashes the LED, once until the marker is removed.
static void LedOnce(const char *marker) {
    if (FileExists(marker)) return;
    CreateMarker(marker);
    StartLed();
}

void CheckLedWarnings(void) {
    int enabled = SettingNumber(SETTING_ITUNES_ENABLE);
    std::string folder = SettingText(SETTING_ITUNES_MUSIC_DIR);
    if (folder.empty()) return;
    if (enabled == 1) {
        if (DirectoryState(folder.c_str()) == 0) {
            LedOnce("/tmp/MediaFolderLost");
        } else {
            RemoveFile("/tmp/MediaFolderLost");
            int missing = MusicServerMissing(99);
            if (missing == 1) {
                LedOnce("/tmp/iTunesStartFailed");
            } else if (missing == 0) {
                RemoveFile("/tmp/iTunesStartFailed");
            }
        }
    }
    if (FileOpens(kFsckMarker)) {
        LedOnce("/tmp/fsckNotRun");
    } else {
        RemoveFile("/tmp/fsckNotRun");
    }
}

void CheckFsckMail(void) {
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailFSCKDidNotRunFlag";
    int language = MailLanguage();
    if (FileOpens(kFsckMarker)) {
        if (!FileExists(kFlag)) {
            StartKeyMail(language, "emailISNotStartSubject", "emailCKDidNotRun",
                         NAS_SYSTEM_PREFIX "email/emailFSCKDidNotRun", 0);
        }
    } else if (FileExists(kFlag)) {
        RemoveFile(kFlag);
    }
}

// The process test of the daemon checks, with its scratch file removed.
static int DaemonMissing(const char *name) {
    return ProcessMissing(name, " ", "/tmp/crondEvent", 99, true) == 1;
}

void CheckSambaDaemons(void) {
    bool nmbdMissing = DaemonMissing("nmbd");
    bool smbdMissing = DaemonMissing("smbd");
    if (!nmbdMissing && !smbdMissing) {
        RemoveFile("/tmp/emailSMBFlag");
    } else if (!FileOpens("/tmp/emailSMBFlag")) {
        StartKeyMail(MailLanguage(), "emailSMBSubject", "emailSMB", "/tmp/emailSMB", 0);
    }
}

void CheckFtpDaemon(void) {
    if (!DaemonMissing("ftpd")) {
        RemoveFile("/tmp/emailFTPFlag");
    } else if (!FileOpens("/tmp/emailFTPFlag")) {
        StartKeyMail(MailLanguage(), "emailFTPSubject", "emailFTP", "/tmp/emailFTP", 0);
    }
}

void CheckMediaServer(void) {
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailMediaFlag";
    if (SettingNumber(SETTING_MEDIA_SERVER_ENABLE) != 1) {
        RemoveFile(kFlag);
        return;
    }
    bool down = false;
    if (SettingNumber(SETTING_MEDIA_RESCAN_INTERVAL) != 0 && DaemonMissing("drovenna")) {
        down = true;
    }
    FILE *conf = fopen(NasPath("/media.conf").c_str(), "r");
    if (conf != nullptr) {
        char line[1024] = "";
        if (fgets(line, sizeof(line), conf) != nullptr && strchr(line, '[') != nullptr &&
            DaemonMissing("ushare")) {
            down = true;
        }
        fclose(conf);
    }
    if (!down) {
        RemoveFile(kFlag);
    } else if (!FileOpens(kFlag)) {
        StartKeyMail(MailLanguage(), "emailMediaSubject", "emailMedia",
                     NAS_SYSTEM_PREFIX "email/emailMedia", 0);
    }
}

// The music folder last reported missing: the last complete line, newline cut.
static std::string ReportedMusicFolder(void) {
    std::vector<std::string> lines;
    ReadTextLines("/tmp/emailItunesMediaFolderItem", 1024, true, &lines);
    return lines.empty() ? std::string() : lines.back();
}

void CheckMusicServer(void) {
    int language = MailLanguage();
    int enabled = SettingNumber(SETTING_ITUNES_ENABLE);
    std::string folder = SettingText(SETTING_ITUNES_MUSIC_DIR);
    if (folder.empty() || enabled != 1) return;
    if (DirectoryState(folder.c_str()) == 0) {
        std::string reported = ReportedMusicFolder();
        if (reported.empty() || reported.find(folder) == std::string::npos) {
            StartKeyMail(language, "emailISMediaSubject", "emailISMedia",
                         NAS_SYSTEM_PREFIX "email/emailItunesMediaFolder", 1);
            FILE *item = fopen(NasPath("/tmp/emailItunesMediaFolderItem").c_str(), "w");
            if (item == nullptr) return;
            fprintf(item, "%s\n", folder.c_str());
            fclose(item);
            ShellCommand command;
            BuildShellCommand(
                &command, "cp -f",
                {NasPath("/tmp/emailItunesMediaFolderItem").c_str(),
                 NasPath(NAS_SYSTEM_PREFIX "email/emailItunesMediaFolderItem").c_str()});
            ShellCommandRun(&command);
            sync();
            return;
        }
    }
    int missing = MusicServerMissing(1023);
    if (missing < 0) return;
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailItunesServerFlag";
    if (missing == 1) {
        if (!FileOpens(kFlag)) {
            StartKeyMail(language, "emailISNotStartSubject", "emailISNotStart",
                         NAS_SYSTEM_PREFIX "email/emailItunesServer", 0);
        }
    } else {
        RemoveFile(kFlag);
        sync();
    }
}

void MailDownloadProblem(int bitTorrent, int problemFlag) {
    if (problemFlag != 1) return;
    if (bitTorrent) {
        StartKeyMail(MailLanguage(), "emailBTDownloadSubject", "emailBTDownload",
                     NAS_SYSTEM_PREFIX "email/emailBtDownload", 1);
    } else {
        StartKeyMail(MailLanguage(), "emailWebDownloadSubject", "emailWebDownload",
                     NAS_SYSTEM_PREFIX "email/emailWebDownload", 1);
    }
}
