// quota_check.cpp -- the quota step: users' and teams' disk use against their levels, and the
// mails.
#include <string.h>

#include "flash_settings.h"
#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

// What the quota step knows about the run.
struct QuotaRun {
    int language = 0;                   // mail language number
    bool sc = false;                    // the "sc" word order of the bodies
    std::vector<std::string> nasUsers;  // by user index
};

static std::vector<std::string> LoadNasUsers(void) {
    if (FlashSettingsInit() != 1) {
        printf("Initialize settings store failed!\n");
        return {};
    }
    return ParseNasUsers(SettingText(SETTING_NAS_USER_NAME).c_str());
}

static void LanguageCode(QuotaRun *run) {
    std::string code = "en";
    FILE *in = fopen(NasPath("/web/javascript.js").c_str(), "r");
    if (in == nullptr || ParseLanguageCode(in, run->language, &code) != 0) {
        code = "en";
        run->language = 0;
    }
    if (in != nullptr) fclose(in);
    run->sc = code == "sc";
}

static int TakeLine(void *context, const char *line, size_t length) {
    static_cast<std::vector<std::string> *>(context)->emplace_back(line, length);
    return 0;
}

static std::vector<QuotaVolume> CollectVolumes(void) {
    std::vector<QuotaVolume> volumes;
    std::vector<std::string> mounts;
    ShellCommand command;
    ShellCommandBegin(&command, "mount|grep /mnt/USB");
    if (ShellCommandReadLines(&command, TakeLine, &mounts) < 0) return volumes;
    for (const std::string &line : mounts) {
        std::string device, type;
        if (ParseMountLine(line.c_str(), &device, &type) != 0) continue;
        if (type != "ext2" && type != "ext3") continue;
        std::vector<std::string> df;
        ShellCommandBegin(&command, "df|grep ");
        ShellCommandGlue(&command, device.c_str());
        ShellCommandText(&command, "|grep /mnt/USB");
        if (ShellCommandReadLines(&command, TakeLine, &df) < 0 || df.empty()) continue;
        QuotaVolume volume;
        if (ParseDfLine(df[0].c_str(), &volume.mountPoint) != 0) continue;
        if (QuotaVolumeLabel(volume.mountPoint, &volume.label) != 0) continue;
        volumes.push_back(volume);
    }
    return volumes;
}

struct RepquotaSearch {
    const std::string *name;
    int started = 0, ended = 0;
    bool found = false;
    int64_t usedKb = 0;
};

static int TakeRepquotaLine(void *context, const char *line, size_t length) {
    RepquotaSearch *search = static_cast<RepquotaSearch *>(context);
    RepquotaLine parsed;
    if (ParseRepquotaLine(line, &search->started, &search->ended, &parsed) == 1 && !search->found &&
        parsed.name == *search->name) {
        search->found = true;
        search->usedKb = parsed.usedKb;
    }
    return 0;
}

// The used kilobytes of name in "repquota -uv" (or -gv) of the volume; 1 when not there.
static int UsedKilobytes(const char *option, const QuotaVolume &volume, const std::string &name,
                         int64_t *usedKb) {
    ShellCommand command;
    ShellCommandBegin(&command, "repquota ");
    ShellCommandText(&command, option);
    ShellCommandWord(&command, NasPath(volume.mountPoint.c_str()).c_str());
    RepquotaSearch search;
    search.name = &name;
    if (ShellCommandReadLines(&command, TakeRepquotaLine, &search) < 0 || !search.found) return 1;
    *usedKb = search.usedKb;
    return 0;
}

// One notice's values as the mail bodies show them.
struct QuotaMail {
    std::string name;     // user or team name (no "-T")
    long long usedGb;     // used kilobytes / 2^20
    long long warningGb;  // warning level megabytes / 1024
    long long limitGb;    // limit megabytes / 1024
    std::string label;    // volume label
};

#define K "$\\$\\$email"
// The bodies, by kind (0 warning, 1 limit), team and word order ("sc" second).
// "%s" takes the next text (quoted), "%lld" the next number.
static const char *const kBodies[2][2][2] = {
    {{K "WarningLevelUser1 %s " K "WarningLevelUser2 %lldGB " K "WarningLevelUser3 %s " K
        "WarningLevelUser4 %lldGB " K "WarningLevelUser5 %s " K "WarningLevelUser6 %lldGB.",
      K "WarningLevelUser1 %s " K "WarningLevelUser2 %s " K "WarningLevelUser3 %lldGB " K
        "WarningLevelUser4 %lldGB " K "WarningLevelUser5 %s " K
        "WarningLevelUser6 %lldGB\xe3\x80\x82"},
     {K "WarningLevelTeam1 %s " K "WarningLevelTeam2 %lldGB " K "WarningLevelTeam3 %s " K
        "WarningLevelTeam4 %lldGB " K "WarningLevelTeam5 %s " K "WarningLevelTeam6 %s " K
        "WarningLevelTeam7 %lldGB.",
      K "WarningLevelTeam1 %s " K "WarningLevelTeam2 %s " K "WarningLevelTeam3 %lldGB " K
        "WarningLevelTeam4 %lldGB " K "WarningLevelTeam5 %s " K "WarningLevelTeam6 %s " K
        "WarningLevelTeam7 %lldGB\xe3\x80\x82"}},
    {{K "QuotaLimitUser1 %s " K "QuotaLimitUser2 %lldGB " K "QuotaLimitUser3 %s " K
        "QuotaLimitUser4 " K "QuotaLimitUser5 %s " K "QuotaLimitUser6 ",
      K "QuotaLimitUser1 %s " K "QuotaLimitUser2 %s " K "QuotaLimitUser3 %lldGB " K
        "QuotaLimitUser4 " K "QuotaLimitUser5 %s " K "QuotaLimitUser6 "},
     {K "QuotaLimitTeam1 %s " K "QuotaLimitTeam2 %lldGB " K "QuotaLimitTeam3 %s " K
        "QuotaLimitTeam4 %s " K "QuotaLimitTeam5 ",
      K "QuotaLimitTeam1 %s " K "QuotaLimitTeam2 %s " K "QuotaLimitTeam3 %lldGB " K
        "QuotaLimitTeam4 %s " K "QuotaLimitTeam5 "}}};
#undef K

// Fills a body template: fixed text as it stands, texts quoted, numbers in decimal.
static MailBody FillBody(const char *format, const std::vector<std::string> &texts,
                         const std::vector<long long> &numbers) {
    MailBody body;
    size_t text = 0, number = 0;
    std::string fixed;
    for (const char *p = format; *p != '\0';) {
        if (strncmp(p, "%s", 2) == 0) {
            if (!fixed.empty()) MailBodyFixed(&body, fixed.c_str());
            fixed.clear();
            MailBodyQuoted(&body, text < texts.size() ? texts[text++] : std::string());
            p += 2;
        } else if (strncmp(p, "%lld", 4) == 0) {
            fixed += std::to_string(number < numbers.size() ? numbers[number++] : 0);
            p += 4;
        } else {
            fixed += *p++;
        }
    }
    if (!fixed.empty()) MailBodyFixed(&body, fixed.c_str());
    return body;
}

static MailBody NoticeBody(const QuotaMail &mail, int kind, bool team, bool sc) {
    std::vector<std::string> texts = {mail.name, mail.label};
    if (kind == 0 && team) texts.push_back(mail.name);
    texts.push_back(mail.label);
    std::vector<long long> numbers = {mail.usedGb};
    if (kind == 0) {
        numbers.push_back(mail.warningGb);
        numbers.push_back(mail.limitGb);
    }
    return FillBody(kBodies[kind][team ? 1 : 0][sc ? 1 : 0], texts, numbers);
}

static std::string Numbered(const char *prefix, const std::string &name, const char *middle,
                            int number) {
    return prefix + name + middle + std::to_string(number);
}

static void MailUserNotice(const QuotaRun &run, const QuotaFiles &files, const QuotaMail &mail,
                           int kind, int userIndex, int volumeNumber) {
    bool limit = kind == 1;
    const char *subject = limit ? "emailQuotaLimitUserSubject" : "emailWarningLevelUserSubject";
    MailBody body = NoticeBody(mail, kind, false, run.sc);
    StartMail(
        run.language, subject, body,
        Numbered(limit ? "/tmp/quotaEmailAQ" : "/tmp/quotaEmailAW", mail.name, "", volumeNumber), 1,
        std::string());
    const std::string &address = files.mailAddress[static_cast<size_t>(userIndex)];
    if (address.empty()) return;
    StartMail(
        run.language, subject, body,
        Numbered(limit ? "/tmp/quotaEmailQ" : "/tmp/quotaEmailW", mail.name, "", volumeNumber), 1,
        address);
}

static void MailTeamNotice(const QuotaRun &run, const QuotaFiles &files, const QuotaMail &mail,
                           int kind, const std::vector<int> &members) {
    bool limit = kind == 1;
    const char *subject = limit ? "emailQuotaLimitUserSubject" : "emailWarningLevelUserSubject";
    MailBody body = NoticeBody(mail, kind, true, run.sc);
    StartMail(run.language, subject, body,
              std::string(limit ? "/tmp/quotaEmailTAQ" : "/tmp/quotaEmailTAW") + mail.name, 1,
              std::string());
    for (int member : members) {
        const std::string &address = files.mailAddress[static_cast<size_t>(member)];
        if (address.empty()) continue;
        StartMail(
            run.language, subject, body,
            Numbered(limit ? "/tmp/quotaEmailTQ" : "/tmp/quotaEmailTW", mail.name, "U", member), 1,
            address);
    }
}

// Compares one user's or team's use with its section; records or removes its notice.
// Returns the kind of mail due: 1 limit, 0 warning, -1 none.
static int CheckOne(const QuotaSection &section, const QuotaVolume &volume,
                    const std::string &noticeName, const char *option, bool team, int64_t *usedKb) {
    if (section.quotaSet != 1 && section.quotaSet != 2) return -1;
    if (UsedKilobytes(option, volume, noticeName, usedKb) != 0) return -1;
    int reached = QuotaReached(section, *usedKb);
    const char *mount = volume.mountPoint.c_str();
    if (reached == 2) return RecordQuotaNotice(noticeName.c_str(), mount, 1, team) == 1 ? 1 : -1;
    if (reached == 1) return RecordQuotaNotice(noticeName.c_str(), mount, 0, team) == 1 ? 0 : -1;
    RemoveQuotaNotice(noticeName.c_str(), mount);
    return -1;
}

static QuotaMail MailValues(const std::string &name, const QuotaSection &section, int64_t usedKb,
                            const QuotaVolume &volume) {
    return {name, static_cast<long long>(usedKb / (1 << 20)),
            static_cast<long long>(section.warningLevel / 1024),
            static_cast<long long>(section.quotaLimit / 1024), volume.label};
}

// The section with "Default" resolved from the user file's default section.
static QuotaSection Resolved(const QuotaSection &own, const QuotaSection &defaults) {
    QuotaSection section = own;
    if (own.quotaSet != -1) return section;
    section.quotaSet = defaults.quotaSet;
    if (defaults.quotaSet == 1) {
        section.warningLevel = defaults.warningLevel;
        section.quotaLimit = defaults.quotaLimit;
    } else if (defaults.quotaSet == 2) {
        section.quotaLimit = defaults.quotaLimit;
    }
    return section;
}

static void CheckVolume(const QuotaRun &run, const QuotaVolume &volume, int volumeNumber) {
    QuotaFiles files;
    std::string base = volume.mountPoint + "/.system_file/";
    FILE *in = fopen(NasPath((base + "quotaUser.conf").c_str()).c_str(), "r");
    if (in != nullptr) {
        ReadQuotaUserFile(in, run.nasUsers, &files);
        fclose(in);
    }
    files.mailAddress.resize(run.nasUsers.size());
    for (const QuotaUserEntry &user : files.users) {
        QuotaSection section = Resolved(user.section, files.defaults);
        const std::string &name = run.nasUsers[static_cast<size_t>(user.index)];
        int64_t used = 0;
        int kind = CheckOne(section, volume, name, "-uv", false, &used);
        if (kind < 0) continue;
        MailUserNotice(run, files, MailValues(name, section, used, volume), kind, user.index,
                       volumeNumber);
    }
    in = fopen(NasPath((base + "quotaTeam.conf").c_str()).c_str(), "r");
    if (in == nullptr) return;
    ReadQuotaTeamFile(in, run.nasUsers, &files);
    fclose(in);
    for (const QuotaTeamEntry &team : files.teams) {
        QuotaSection section = team.section;
        if (section.quotaSet == -1) {
            if (team.name != "Anonymous") continue;
            section = Resolved(section, files.defaults);
        }
        int64_t used = 0;
        int kind = CheckOne(section, volume, team.name + "-T", "-gv", true, &used);
        if (kind < 0) continue;
        MailTeamNotice(run, files, MailValues(team.name, section, used, volume), kind,
                       team.members);
    }
}

void CheckQuotas(void) {
    QuotaRun run;
    run.language = MailLanguage();
    LanguageCode(&run);
    if (SettingNumber(SETTING_QUOTA_ENABLE) == 0 || SettingNumber(SETTING_QUOTA_ALERT) == 0 ||
        SettingNumber(SETTING_EMAIL_ENABLE) == 0) {
        return;
    }
    run.nasUsers = LoadNasUsers();
    std::vector<QuotaVolume> volumes = CollectVolumes();
    for (size_t j = 0; j < volumes.size(); j++) {
        CheckVolume(run, volumes[j], static_cast<int>(j));
    }
}
