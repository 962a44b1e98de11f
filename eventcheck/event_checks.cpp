// event_checks.cpp -- the LED warnings and the daemon, disk check, music and problem mails.
//
// The "-flag 0" mails are sent on every run while their condition lasts and
// their "Flag" file (made by the mail script) is absent; orlinda removes the
// flag file once the condition clears, so the next occurrence is mailed again.
#include <string.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static const char kFsckMarker[] = NAS_SYSTEM_PREFIX "/sys/FSCK_DID_NOT_RUN";

// Creates marker and flashes the LED, once until the marker is removed.
static void LedOnce(const char *marker) {
    if (FileExists(marker)) return;
    if (CreateMarker(marker) != 0) return;  // without its marker the LED would flash every run
    StartLed();
}

void CheckLedWarnings(EventRun *run) {
    const EventSettings &settings = run->settings;
    if (settings.musicDir.empty()) return;
    if (settings.itunesEnable == 1) {
        if (DirectoryState(settings.musicDir.c_str()) == 0) {
            LedOnce("/tmp/MediaFolderLost");
        } else {
            RemoveFile("/tmp/MediaFolderLost");
            int missing = MusicServerMissing(run, 99);
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

void CheckFsckMail(EventRun *run) {
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailFSCKDidNotRunFlag";
    if (FileOpens(kFsckMarker)) {
        if (!FileExists(kFlag)) {
            StartKeyMail(run->settings.language, "emailISNotStartSubject", "emailCKDidNotRun",
                         NAS_SYSTEM_PREFIX "email/emailFSCKDidNotRun", 0);
        }
    } else if (FileExists(kFlag)) {
        RemoveFile(kFlag);
    }
}

// The process test of the daemon checks.
static bool DaemonMissing(EventRun *run, const char *name) {
    return ProcessMissing(run, name, 99) == 1;
}

void CheckSambaDaemons(EventRun *run) {
    bool nmbdMissing = DaemonMissing(run, "nmbd");
    bool smbdMissing = DaemonMissing(run, "smbd");
    if (!nmbdMissing && !smbdMissing) {
        RemoveFile("/tmp/emailSMBFlag");
    } else if (!FileOpens("/tmp/emailSMBFlag")) {
        StartKeyMail(run->settings.language, "emailSMBSubject", "emailSMB", "/tmp/emailSMB", 0);
    }
}

void CheckFtpDaemon(EventRun *run) {
    if (!DaemonMissing(run, "ftpd")) {
        RemoveFile("/tmp/emailFTPFlag");
    } else if (!FileOpens("/tmp/emailFTPFlag")) {
        StartKeyMail(run->settings.language, "emailFTPSubject", "emailFTP", "/tmp/emailFTP", 0);
    }
}

void CheckMediaServer(EventRun *run) {
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailMediaFlag";
    if (run->settings.mediaServerEnable != 1) {
        RemoveFile(kFlag);
        return;
    }
    bool down = false;
    if (run->settings.mediaRescanInterval != 0 && DaemonMissing(run, "drovenna")) down = true;
    FILE *conf = fopen(NasPath("/media.conf").c_str(), "r");
    if (conf != nullptr) {
        char line[1024] = "";
        if (fgets(line, sizeof(line), conf) != nullptr && strchr(line, '[') != nullptr &&
            DaemonMissing(run, "ushare")) {
            down = true;
        }
        fclose(conf);
    }
    if (!down) {
        RemoveFile(kFlag);
    } else if (!FileOpens(kFlag)) {
        StartKeyMail(run->settings.language, "emailMediaSubject", "emailMedia",
                     NAS_SYSTEM_PREFIX "email/emailMedia", 0);
    }
}

// The music folder last reported missing: the last line of its record file.
static std::string ReportedMusicFolder(void) {
    std::vector<std::string> lines;
    ReadTextLines("/tmp/emailItunesMediaFolderItem", &lines);
    return lines.empty() ? std::string() : lines.back();
}

void CheckMusicServer(EventRun *run) {
    const EventSettings &settings = run->settings;
    const std::string &folder = settings.musicDir;
    if (folder.empty() || settings.itunesEnable != 1) return;
    if (DirectoryState(folder.c_str()) == 0) {
        // The folder is matched whole: "/music" is not "/music2".
        if (ReportedMusicFolder() != folder) {
            if (StartKeyMail(settings.language, "emailISMediaSubject", "emailISMedia",
                             NAS_SYSTEM_PREFIX "email/emailItunesMediaFolder", 1) != 0) {
                return;
            }
            if (ReplaceText("/tmp/emailItunesMediaFolderItem", folder + "\n") != 0) return;
            ReplaceText(NAS_SYSTEM_PREFIX "email/emailItunesMediaFolderItem", folder + "\n");
            sync();
            return;
        }
    }
    int missing = MusicServerMissing(run, 1023);
    if (missing < 0) return;
    static const char kFlag[] = NAS_SYSTEM_PREFIX "/email/emailItunesServerFlag";
    if (missing == 1) {
        if (!FileOpens(kFlag)) {
            StartKeyMail(settings.language, "emailISNotStartSubject", "emailISNotStart",
                         NAS_SYSTEM_PREFIX "email/emailItunesServer", 0);
        }
    } else if (FileExists(kFlag)) {
        RemoveFile(kFlag);
        sync();
    }
}

void MailDownloadProblem(EventRun *run, int bitTorrent) {
    DownloadRunState &downloads = run->downloads;
    if ((bitTorrent ? downloads.btProblem : downloads.webProblem) != 1) return;
    int started;
    if (bitTorrent) {
        started = StartKeyMail(run->settings.language, "emailBTDownloadSubject", "emailBTDownload",
                               NAS_SYSTEM_PREFIX "email/emailBtDownload", 1);
    } else {
        started = StartKeyMail(run->settings.language, "emailWebDownloadSubject",
                               "emailWebDownload", NAS_SYSTEM_PREFIX "email/emailWebDownload", 1);
    }
    if (started != 0) return;
    // Recorded only now: a run ended before this point mails them again.
    std::string names;
    for (const std::string &name : bitTorrent ? downloads.btProblems : downloads.webProblems) {
        names += name + "\n";
    }
    AppendText(bitTorrent ? "/tmp/emailBTProblem" : "/tmp/emailWebProblem", names);
}
