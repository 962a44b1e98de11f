// quota_check.cpp -- the quota step: users' and teams' disk use against their levels, and the
// mails.
#include <string.h>

#include <map>

#include "nas_path.h"
#include "orlinda.h"

// What the quota step knows about the run.
struct QuotaRun {
    int language = 0;                          // mail language number
    bool sc = false;                           // the "sc" word order of the bodies
    const std::vector<std::string> *nasUsers;  // by user index
};

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

static void TakeLine(void *context, const std::string &line) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
}

// The lines of text that contain every one of words, as "|grep" keeps them.
static std::vector<std::string> Grep(const std::vector<std::string> &lines,
                                     std::initializer_list<const char *> words) {
    std::vector<std::string> kept;
    for (const std::string &line : lines) {
        bool all = true;
        for (const char *word : words) all = all && line.find(word) != std::string::npos;
        if (all) kept.push_back(line);
    }
    return kept;
}

static std::vector<QuotaVolume> CollectVolumes(void) {
    std::vector<QuotaVolume> volumes;
    std::vector<std::string> mounts, df;
    if (ReadProgramLines({"mount"}, TakeLine, &mounts) < 0) return volumes;
    bool dfRead = false;
    for (const std::string &line : Grep(mounts, {"/mnt/USB"})) {
        std::string device, type;
        if (ParseMountLine(line.c_str(), &device, &type) != 0) continue;
        if (type != "ext2" && type != "ext3") continue;
        if (!dfRead) {
            if (ReadProgramLines({"df"}, TakeLine, &df) < 0) return volumes;
            dfRead = true;
        }
        std::vector<std::string> found = Grep(df, {device.c_str(), "/mnt/USB"});
        if (found.empty()) continue;
        QuotaVolume volume;
        if (ParseDfLine(found[0].c_str(), &volume.mountPoint) != 0) continue;
        if (QuotaVolumeLabel(volume.mountPoint, &volume.label) != 0) continue;
        volumes.push_back(volume);
    }
    return volumes;
}

// The used kilobytes of every name in one "repquota" table, read once per
// volume and kind.
struct RepquotaTable {
    int state = 0;  // 0 not read, 1 read, -1 repquota could not be run
    int started = 0, ended = 0;
    std::map<std::string, int64_t> used;  // the first line of each name
};

static void TakeRepquotaLine(void *context, const std::string &line) {
    RepquotaTable *table = static_cast<RepquotaTable *>(context);
    RepquotaLine parsed;
    if (ParseRepquotaLine((line + "\n").c_str(), &table->started, &table->ended, &parsed) == 1) {
        table->used.emplace(parsed.name, parsed.usedKb);
    }
}

// The used kilobytes of name in "repquota -uv" (or -gv) of the volume; 1 when not there.
static int UsedKilobytes(RepquotaTable *table, const char *option, const QuotaVolume &volume,
                         const std::string &name, int64_t *usedKb) {
    if (table->state == 0) {
        int status = ReadProgramLines({"repquota", option, NasPath(volume.mountPoint.c_str())},
                                      TakeRepquotaLine, table);
        table->state = status < 0 ? -1 : 1;
    }
    auto found = table->used.find(name);
    if (table->state < 0 || found == table->used.end()) return 1;
    *usedKb = found->second;
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

#define K "$$$email"
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

// Fills a body template: fixed text as it stands, texts as they are, numbers in decimal.
static std::string FillBody(const char *format, const std::vector<std::string> &texts,
                            const std::vector<long long> &numbers) {
    std::string body;
    size_t text = 0, number = 0;
    for (const char *p = format; *p != '\0';) {
        if (strncmp(p, "%s", 2) == 0) {
            if (text < texts.size()) body += texts[text++];
            p += 2;
        } else if (strncmp(p, "%lld", 4) == 0) {
            body += std::to_string(number < numbers.size() ? numbers[number++] : 0);
            p += 4;
        } else {
            body += *p++;
        }
    }
    return body;
}

static std::string NoticeBody(const QuotaMail &mail, int kind, bool team, bool sc) {
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

// Returns 0 when the administrator's mail was started.
static int MailUserNotice(const QuotaRun &run, const QuotaFiles &files, const QuotaMail &mail,
                          int kind, int userIndex, int volumeNumber) {
    bool limit = kind == 1;
    const char *subject = limit ? "emailQuotaLimitUserSubject" : "emailWarningLevelUserSubject";
    std::string body = NoticeBody(mail, kind, false, run.sc);
    int started = StartMail(
        run.language, subject, body,
        Numbered(limit ? "/tmp/quotaEmailAQ" : "/tmp/quotaEmailAW", mail.name, "", volumeNumber), 1,
        std::string());
    const std::string &address = files.mailAddress[static_cast<size_t>(userIndex)];
    if (address.empty()) return started;
    StartMail(
        run.language, subject, body,
        Numbered(limit ? "/tmp/quotaEmailQ" : "/tmp/quotaEmailW", mail.name, "", volumeNumber), 1,
        address);
    return started;
}

// Returns 0 when the administrator's mail was started.
static int MailTeamNotice(const QuotaRun &run, const QuotaFiles &files, const QuotaMail &mail,
                          int kind, const std::vector<int> &members) {
    bool limit = kind == 1;
    const char *subject = limit ? "emailQuotaLimitUserSubject" : "emailWarningLevelUserSubject";
    std::string body = NoticeBody(mail, kind, true, run.sc);
    int started =
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
    return started;
}

// Compares one user's or team's use with its section. Returns the kind of
// notice reached (1 limit, 0 warning) with *change worked out, or -1 when
// none is due (a notice below the warning level is removed then).
static int CheckOne(const EventSettings &settings, RepquotaTable *table,
                    const QuotaSection &section, const QuotaVolume &volume,
                    const std::string &noticeName, const char *option, int64_t *usedKb,
                    QuotaNoticeChange *change) {
    if (section.quotaSet != 1 && section.quotaSet != 2) return -1;
    if (UsedKilobytes(table, option, volume, noticeName, usedKb) != 0) return -1;
    int reached = QuotaReached(section, *usedKb);
    const char *mount = volume.mountPoint.c_str();
    int kind = reached == 2 ? 1 : reached == 1 ? 0 : -1;
    if (kind < 0) {
        RemoveQuotaNotice(noticeName.c_str(), mount);
        return -1;
    }
    if (PrepareQuotaNotice(settings, noticeName.c_str(), mount, kind, change) == 1) return kind;
    // Not due: the notice may still change (a warning clears a limit date).
    CommitQuotaNotice(*change, noticeName.c_str(), kind, option[1] == 'g');
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

static void CheckVolume(const EventSettings &settings, const QuotaRun &run,
                        const QuotaVolume &volume, int volumeNumber) {
    QuotaFiles files;
    std::string base = volume.mountPoint + "/.system_file/";
    const std::vector<std::string> &nasUsers = *run.nasUsers;
    FILE *in = fopen(NasPath((base + "quotaUser.conf").c_str()).c_str(), "r");
    if (in != nullptr) {
        ReadQuotaUserFile(in, nasUsers, &files);
        fclose(in);
    }
    files.mailAddress.resize(nasUsers.size());
    RepquotaTable userTable, teamTable;
    for (const QuotaUserEntry &user : files.users) {
        QuotaSection section = Resolved(user.section, files.defaults);
        const std::string &name = nasUsers[static_cast<size_t>(user.index)];
        int64_t used = 0;
        QuotaNoticeChange change;
        int kind = CheckOne(settings, &userTable, section, volume, name, "-uv", &used, &change);
        if (kind < 0) continue;
        // The notice is recorded once its mails were started.
        if (MailUserNotice(run, files, MailValues(name, section, used, volume), kind, user.index,
                           volumeNumber) != 0) {
            continue;
        }
        CommitQuotaNotice(change, name.c_str(), kind, false);
    }
    in = fopen(NasPath((base + "quotaTeam.conf").c_str()).c_str(), "r");
    if (in == nullptr) return;
    ReadQuotaTeamFile(in, nasUsers, &files);
    fclose(in);
    for (const QuotaTeamEntry &team : files.teams) {
        QuotaSection section = team.section;
        if (section.quotaSet == -1) {
            if (team.name != "Anonymous") continue;
            section = Resolved(section, files.defaults);
        }
        int64_t used = 0;
        QuotaNoticeChange change;
        std::string group = team.name + "-T";
        int kind = CheckOne(settings, &teamTable, section, volume, group, "-gv", &used, &change);
        if (kind < 0) continue;
        if (MailTeamNotice(run, files, MailValues(team.name, section, used, volume), kind,
                           team.members) != 0) {
            continue;
        }
        CommitQuotaNotice(change, group.c_str(), kind, true);
    }
}

void CheckQuotas(EventRun *eventRun) {
    const EventSettings &settings = eventRun->settings;
    QuotaRun run;
    run.language = settings.language;
    run.nasUsers = &settings.nasUsers;
    LanguageCode(&run);
    if (settings.quotaEnable == 0 || settings.quotaAlert == 0 || settings.emailEnable == 0) return;
    std::vector<QuotaVolume> volumes = CollectVolumes();
    for (size_t j = 0; j < volumes.size(); j++) {
        CheckVolume(settings, run, volumes[j], static_cast<int>(j));
    }
}
