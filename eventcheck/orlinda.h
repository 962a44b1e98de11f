// orlinda.h -- the event checker: one run over the appliance's state, then exit.
//
// orlinda is started again and again by the appliance's scheduler. Each run
// warns through the front-panel LED, mails about daemons that are down,
// missing media folders, a skipped disk check, finished and failing downloads
// and reached disk quotas, and remembers what it reported in marker files
// under "/tmp/" and "/nasext/main/". Every fixed path goes through NasPath;
// every text that comes from a file or a setting reaches a shell only as a
// quoted word (shell_command.h), so the programs started receive it as one
// unchanged argument.
//
// Result convention: 0 success, 1 failure, unless an operation says otherwise.
// The readers and parsers (download_lists.cpp, quota_files.cpp,
// command_output.cpp) touch nothing but the stream or text they are given, so
// the tests and fuzz targets drive them directly.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

// The system volume prefix; paths formed "%s/..." with it carry a doubled
// slash, as the appliance writes them.
#define NAS_SYSTEM_PREFIX "/nasext/main/"
#define MAIL_VAR_FILE "/web/file/nasemailbody.var"

// Settings identifiers: SETTING_* of flash_settings.h.
#include "flash_settings.h"

enum {
    BT_LIST_CAPACITY = 32,   // BitTorrent items examined per run, best ranked first
    VOLUME_COUNT = 8,        // volumes USB1 to USB8
    LOG_RECORD_BYTES = 256,  // orlinda's record on the log daemon's queue
};

// The settings the run reads, taken from the flash store once at its start
// and shared by every step, so the store is opened once per run.
struct EventSettings {
    int btEnable = 0;                   // BT_ENABLE
    int mediaServerEnable = 0;          // MEDIA_SERVER_ENABLE
    int mediaRescanInterval = 0;        // MEDIA_RESCAN_INTERVAL
    int itunesEnable = 0;               // ITUNES_ENABLE
    std::string musicDir;               // ITUNES_MUSIC_DIR; empty: the music checks are off
    int downloadEnable = 0;             // DOWNLOAD_ENABLE
    int emailBt = 0;                    // EMAIL_BT
    int emailEnable = 0;                // EMAIL_ENABLE
    int language = 0;                   // EMAIL_LANGUAGE, the mail language number
    int quotaEnable = 0;                // QUOTA_ENABLE
    int quotaAlert = 0;                 // QUOTA_ALERT
    int quotaFrequency = 0;             // QUOTA_MAIL_FREQUENCY
    std::vector<std::string> nasUsers;  // NAS_USER_NAME, by user index
};

// The process listing, taken with one "ps" the first time a step asks.
struct ProcessListing {
    int state = 0;                   // 0 not taken yet, 1 taken, -1 ps could not be run
    std::vector<std::string> lines;  // its lines, newline cut
};

// Values the download step leaves for the rest of the run. Names are in the
// record files only once their report was started.
struct DownloadRunState {
    int anyFinished = 0;                   // 1 when a newly finished download was found
    std::vector<std::string> btFinished;   // names of newly finished BitTorrent items
    std::vector<std::string> webFinished;  // names of newly finished web downloads
    int btProblem = 0;                     // 1 when a new BitTorrent problem item was found
    int webProblem = 0;                    // 1 when a new web problem item was found
    std::vector<std::string> btProblems;   // those names, to record once mailed
    std::vector<std::string> webProblems;
    std::string btRows;  // the rows of running downloads for the mail
    std::string webRows;
};

// One run of the event checker: what its steps share.
struct EventRun {
    EventSettings settings;
    ProcessListing processes;
    DownloadRunState downloads;
};

// One item of a "bt.cfg" list.
struct BtItem {
    int volume = 0;                  // 1 to 8, the list's volume
    char letter = 'C';               // the list's partition letter
    std::string owner;               // OwnerUser
    int torrentType = -1;            // 1 url, 0 file, -1 other
    std::string torrentInformation;  // URL, or the path with the partition base
    uint32_t addTime = 0;            // AddTime, also the status files' identifier
    uint32_t tryCounts = 0;          // TryCounts
    std::string savePath;            // with the partition base; empty when none was given
    std::string target;              // the download's name
    int64_t totalSize = 0;           // TotalSize in bytes
    int status = 0;                  // 5 finished, 4 and 6 problem, 3 nastmp progress
    int priority = 0;                // Priority
};

// One item of a "download.cfg" list.
struct WebDownloadItem {
    std::string url2;      // Url2
    std::string url;       // Url
    std::string fullPath;  // "/mnt/USB%d/%c:" + Path
    int64_t size = 0;      // Size, total bytes
    int status = 0;        // Status
    int64_t lastSize = 0;  // LastSize, bytes downloaded so far
    long time = 0;         // Time, the sort key
    int count = 0;         // Count
};

// A quota volume: an ext2/ext3 data partition.
struct QuotaVolume {
    std::string mountPoint;  // "/mnt/USB5/C:"
    std::string label;       // "[HDD1]C:"
};

// The quota values of one section of a quota file.
struct QuotaSection {
    int quotaSet = 0;          // 0 no limit, 1 warning and quota, 2 quota only, -1 default
    int64_t warningLevel = 0;  // megabytes
    int64_t quotaLimit = 0;    // megabytes
};

// One user or team line of "repquota" output.
struct RepquotaLine {
    std::string name;
    int64_t usedKb = 0;
};

/* event_files.cpp */
// stat of NasPath(path): false only when it fails with ENOENT.
bool FileExists(const char *path);
// 1 when the folder opens, 0 when opening fails with ENOENT or ENOTDIR, -1 otherwise.
int DirectoryState(const char *path);
// Makes the empty marker NasPath(path) when it is missing; an existing file
// is kept as it is and a link at the name is left alone. Returns 0 or 1.
int CreateMarker(const char *path);
// unlink of NasPath(path); a missing file is no failure.
void RemoveFile(const char *path);
// 1 when NasPath(path) opens for reading.
bool FileOpens(const char *path);
// The lines of NasPath(path) as a set (a line is taken whole, whatever its
// length); empty when the file does not open.
std::set<std::string> ReadLineSet(const char *path);
// Appends text to NasPath(path), creating it when missing, never through a
// link. Returns 0 or 1.
int AppendText(const char *path, const std::string &text);
// Replaces NasPath(path) with text through a new file renamed over it, never
// through a link. Returns 0 or 1.
int ReplaceText(const char *path, const std::string &text);
// Prints the one log line for a fixed name found to be a symbolic link, once
// per name and run, when errno says so (ELOOP).
void ReportLinkRefused(const char *path);

/* event_settings.cpp */
// Initialises the store and reads every setting of the run into *settings.
// Returns 1, or 0 when the store cannot be initialised (nothing is read).
int LoadEventSettings(EventSettings *settings);

/* event_programs.cpp */
// Starts argv[0] (found through PATH) with these arguments, no shell between:
// each text reaches the program as one unchanged argument. With wait, waits
// and returns its exit status (-1 when it could not be run or was killed);
// without, returns 0 once it was started. An argument list beyond what the
// system passes to a program is not started: one line says so and the
// result is -2.
int RunProgram(const std::vector<std::string> &argv, bool wait);
// Runs the program and hands each line of its standard output (newline cut)
// to onLine. Returns its exit status, or -1 when it could not be run.
int ReadProgramLines(const std::vector<std::string> &argv,
                     void (*onLine)(void *context, const std::string &line), void *context);
// The process test of the daemon checks over the run's one "ps" listing, as
// "ps | grep NAME" reads it: 1 when the daemon is missing (no line names it,
// or the first line that does, within lineChars characters, names grep), 0
// when it runs, -1 when ps could not be run (counted as running).
int ProcessMissing(EventRun *run, const char *name, int lineChars);
// The music server test (mt-daapd).
int MusicServerMissing(EventRun *run, int lineChars);

/* event_commands.cpp */
// Starts "glimmet 333333 6".
void StartLed(void);
// The text of a language key printed by the mail script with -onlysubject;
// empty when it cannot be run.
std::string LookupMailText(int language, const char *key);

// Starts one mail: kestrin.sh -l language -s "$$$subjectKey" -b body -p
// eventPath -var "/web/file/nasemailbody.var" -flag flag [-t address -head 1],
// in the background. Returns 0 when it was started, else 1 (a command too long
// to start is said on one line).
int StartMail(int language, const char *subjectKey, const std::string &body,
              const std::string &eventPath, int flag, const std::string &address);
// A mail whose body is one language key: -b "$$$bodyKey".
int StartKeyMail(int language, const char *subjectKey, const char *bodyKey,
                 const std::string &eventPath, int flag);

/* nas_log.cpp */
// "%d\t0\tINFO\t" and the formatted text appended to "nasLog.log". 0 or 1.
int WriteNasLog(const char *text, int level);
// Formats a tab-separated event text; returns 0, or 1 ("Bad format of Log!" printed).
int FormatNasLogLine(const char *text, std::string *out);
// Moves the log to its "1" name when it takes more than 10 megabytes.
void RotateNasLog(const char *path);
// "year/month/day hours:minutes:seconds" of the local time now.
std::string CurrentDateText(void);
// A name as one field of a log text: a tab, CR or LF becomes a blank, and a
// backslash goes before every "<" and ">" so that it cannot close a tag.
std::string LogFieldText(const std::string &name);
// Puts one 256-byte record on the log daemon's queue. 0 or 1.
int SendLogRecord(const char *text);

/* event_checks.cpp */
void CheckLedWarnings(EventRun *run);
void CheckFsckMail(EventRun *run);
void CheckSambaDaemons(EventRun *run);
void CheckFtpDaemon(EventRun *run);
void CheckMediaServer(EventRun *run);
void CheckMusicServer(EventRun *run);
// Mails the new problem items of one kind and then records them as reported.
void MailDownloadProblem(EventRun *run, int bitTorrent);

/* media_folders.cpp */
// "[HDD1]C:\music" -> "USB5/C:/music". Returns 0, or 1 for an unknown label.
int ConvertMediaFolder(const char *line, std::string *path);
// The volume label of volume 1 to 8 ("[USB1]" ... "[HDD4]"), null otherwise.
const char *VolumeLabel(int volume);
void CheckMediaFolders(EventRun *run);

/* download_lists.cpp */
// Reads the items of a "bt.cfg" stream of partition volume/letter, handing
// each to take(context, item).
void ReadBtItems(FILE *in, int volume, char letter, void (*take)(void *, const BtItem &),
                 void *context);
// The same into a vector.
void ReadBtItems(FILE *in, int volume, char letter, std::vector<BtItem> *items);
// Reads the items of a "download.cfg" stream of partition volume/letter.
void ReadWebItems(FILE *in, int volume, char letter, std::vector<WebDownloadItem> *items);
// true when a ranks before b.
bool BtRanksBefore(const BtItem &a, const BtItem &b);
// Inserts item into the rank-ordered list of at most BT_LIST_CAPACITY items.
void InsertBtItem(std::vector<BtItem> *list, const BtItem &item);
// Line splitting of the lists: leading blanks and tabs gone, cut at CR or LF.
// Returns the length left.
size_t TrimListLine(char *line);

/* download_lock.cpp */
// Write lock (F_WRLCK) or unlock (F_UNLCK) of the first byte: 15 attempts
// 0.2 s apart. Returns 0 or 1.
int LockFirstByte(int fd, short type);
// Opens NasPath(path) and locks it; null when either fails.
FILE *OpenLocked(const char *path, const char *mode);
void CloseLocked(FILE *file);

/* download_bt.cpp */
// The best-ranked items of every list, and every finished item whatever its rank.
struct BtLists {
    std::vector<BtItem> ranked;    // at most BT_LIST_CAPACITY, in rank order
    std::vector<BtItem> finished;  // status 5 items beyond the ranked ones, in rank order
    bool unread = false;           // a list could not be opened or locked
};
void LoadBtLists(BtLists *lists);
void ProcessBtList(EventRun *run);
std::string BtRow(const BtItem &item, int btEnable, int row);
// "%.2fGB", "%.2fMB" or "%.2fKB" of a size in bytes.
std::string FormatBtSize(int64_t size);
// The bt.pid section of torrentInformation: pid and work file; 0 when found.
int FindBtPid(FILE *in, const std::string &torrentInformation, long *pid, std::string *tempFile);
// Field 1 of every line set to value, fields joined by single blanks.
std::string SetFirstField(const std::string &text, const std::string &value);

/* download_web.cpp */
// Reads every list; *unread set when one could not be opened or locked.
void LoadWebLists(std::vector<WebDownloadItem> *list, bool *unread);
void ProcessWebList(EventRun *run);
std::string FormatSize(double bytes);
// "[HDD1]C:\folder\" for a full path "/mnt/USB5/C:/folder/name".
std::string WebLocationText(const std::string &fullPath);
// The status text of a row: "Finished", "Failed", "Trying", "Paused", "NN%".
std::string WebStatusText(const WebDownloadItem &item);

/* download_mail.cpp */
// Logs the finished items of this run, mails them, and only then records
// them in their finished-items files.
void ReportFinished(EventRun *run);
void RunDownloadStep(EventRun *run);

/* command_output.cpp */
// Device and file system type of a "mount" line; 0 when both are there.
int ParseMountLine(const char *line, std::string *device, std::string *type);
// Mount point (sixth word) of a "df" line; 0 when there.
int ParseDfLine(const char *line, std::string *mountPoint);
// The label "[HDD1]C:" of a mount point "/mnt/USB5/C:"; 0, or 1 when it is no volume.
int QuotaVolumeLabel(const std::string &mountPoint, std::string *label);
// Feeds one line of "repquota" output; *started tracks the dashed line, *ended the
// empty line after the table. Returns 1 and fills *out for a table line.
int ParseRepquotaLine(const char *line, int *started, int *ended, RepquotaLine *out);
// The two-letter code of language number from a "javascript.js" stream; 0
// when found, else 1 (the caller then uses "en" and language 0).
int ParseLanguageCode(FILE *in, int language, std::string *code);
// The comma-separated NAS user list (empty names keep their place).
std::vector<std::string> ParseNasUsers(const char *value);

/* quota_files.cpp */
// One line of a quota file: key (first blank-separated word) and value (after
// the first "=", newline cut). Returns 0, or 1 for a line without a key.
int SplitQuotaLine(const char *line, std::string *key, std::string *value);
// "No Limit" 0, "Warning and Quota" 1, "Quota Only" 2, "Default" -1; -2 other.
int ParseQuotaSet(const std::string &value);
// A user file, parsed: the default section, the users' sections in order and
// the mail addresses by user index.
struct QuotaUserEntry {
    int index;             // position in the NAS user list
    QuotaSection section;  // as written; quotaSet -1 means "Default"
};
struct QuotaTeamEntry {
    std::string name;          // team name
    std::vector<int> members;  // user indexes marked as members
    QuotaSection section;      // quotaSet -1 means "Default"
};
struct QuotaFiles {
    QuotaSection defaults;                 // the "DefaultSetting" section
    std::vector<QuotaUserEntry> users;     // at "userEnd", in file order
    std::vector<std::string> mailAddress;  // by user index; empty when none
    std::vector<QuotaTeamEntry> teams;     // at "teamEnd", in file order
};
void ReadQuotaUserFile(FILE *in, const std::vector<std::string> &nasUsers, QuotaFiles *files);
void ReadQuotaTeamFile(FILE *in, const std::vector<std::string> &nasUsers, QuotaFiles *files);
// Limit and warning tests with the kilobyte of slack: 2 limit, 1 warning, 0 neither.
int QuotaReached(const QuotaSection &section, int64_t usedKb);

/* quota_notice.cpp */
// A notice file's new text for one notice, kept until its mails were started.
struct QuotaNoticeChange {
    std::string path;     // the notice file (appliance path)
    std::string oldText;  // as read; empty when missing
    std::string newText;  // with the notice recorded
    int due = 0;          // 1 when a mail is due
    int first = 0;        // 1 for a first notice
};
// Works out the notice of name on the volume (kind 0 warning, 1 limit)
// without writing. Returns 1 when a mail is due; 0 also when the notice file
// cannot be read (or is a link), so no mail is sent for it.
int PrepareQuotaNotice(const EventSettings &settings, const char *name, const char *mountPoint,
                       int kind, QuotaNoticeChange *change);
// Writes the change (only when the text changed) and sends the log record
// of a first notice, naming a team (a group name, "-T" dropped) when team is
// set. Called once the mails were started. Returns 0 or 1.
int CommitQuotaNotice(const QuotaNoticeChange &change, const char *name, int kind, bool team);
// Removes name's section; the file is rewritten only when it held one.
void RemoveQuotaNotice(const char *name, const char *mountPoint);
// The notice file's rewrite of one name's section, without the files: copies
// in to out, returns 1 when a mail is due, *first 1 for a first notice.
int RewriteQuotaNotice(FILE *in, FILE *out, const char *name, int kind, int frequency, time_t now,
                       int *first);

/* quota_check.cpp */
void CheckQuotas(EventRun *run);

/* main.cpp */
int RunEventChecks(void);
