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

#include <string>
#include <vector>

// The system volume prefix; paths formed "%s/..." with it carry a doubled
// slash, as the appliance writes them.
#define NAS_SYSTEM_PREFIX "/nasext/main/"
#define MAIL_VAR_FILE "/web/file/nasemailbody.var"

// Settings identifiers of the flash store.
enum {
    SETTING_NAS_USER_NAME = 345,
    SETTING_BT_ENABLE = 352,
    SETTING_MEDIA_SERVER_ENABLE = 353,
    SETTING_MEDIA_RESCAN_INTERVAL = 355,
    SETTING_ITUNES_ENABLE = 357,
    SETTING_ITUNES_MUSIC_DIR = 359,
    SETTING_DOWNLOAD_ENABLE = 365,
    SETTING_EMAIL_BT = 393,
    SETTING_EMAIL_ENABLE = 399,
    SETTING_EMAIL_LANGUAGE = 402,
    SETTING_QUOTA_ENABLE = 407,
    SETTING_QUOTA_ALERT = 408,
    SETTING_QUOTA_MAIL_FREQUENCY = 409,
};

enum {
    BT_LIST_CAPACITY = 32,   // BitTorrent items examined per run, best ranked first
    VOLUME_COUNT = 8,        // volumes USB1 to USB8
    LOG_RECORD_BYTES = 256,  // orlinda's record on the log daemon's queue
};

// Values the download step leaves for the rest of the run.
struct DownloadRunState {
    int anyFinished = 0;                   // 1 when a newly finished download was recorded
    std::vector<std::string> btFinished;   // names of newly finished BitTorrent items
    std::vector<std::string> webFinished;  // names of newly finished web downloads
    int btProblem = 0;                     // 1 when a new BitTorrent problem item was found
    int webProblem = 0;                    // 1 when a new web problem item was found
};

// One item of a "bt.cfg" list.
struct BtItem {
    int volume = 0;                     // 1 to 8, the list's volume
    char letter = 'C';                  // the list's partition letter
    std::string owner;                  // OwnerUser
    int torrentType = -1;               // 1 url, 0 file, -1 other
    std::string torrentInformation;     // URL, or the path with the partition base
    uint32_t addTime = 0;               // AddTime, also the status files' identifier
    uint32_t tryCounts = 0;             // TryCounts
    std::string savePath;               // with the partition base; empty when none was given
    std::string target;                 // the download's name
    std::vector<std::string> contents;  // Contents lines (at most BT_CONTENTS_KEPT)
    int64_t totalSize = 0;              // TotalSize in bytes
    int status = 0;                     // 5 finished, 4 and 6 problem, 3 nastmp progress
    int priority = 0;                   // Priority
};
enum { BT_CONTENTS_KEPT = 256 };

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
// Opens NasPath(path) with mode "w+" and closes it at once. Returns 0 or 1.
int CreateMarker(const char *path);
// unlink of NasPath(path); a missing file is no failure.
void RemoveFile(const char *path);
// 1 when NasPath(path) opens for reading.
bool FileOpens(const char *path);
// Reads lines of NasPath(path) with fgets into a bufferSize buffer; each line
// loses its newline. A last line without a newline is taken only when
// takeUnterminated is true. Returns 1 when the file does not open.
int ReadTextLines(const char *path, int bufferSize, bool takeUnterminated,
                  std::vector<std::string> *lines);
// Appends text to NasPath(path) ("at"), creating it when missing. Returns 0 or 1.
int AppendText(const char *path, const std::string &text);
// The lines joined with single blanks, as the reported-items lists are kept.
std::string JoinBlank(const std::vector<std::string> &lines);

/* event_settings.cpp */
// The store initialised (again); 1 ready, 0 failed.
int InitSettings(void);
// A number setting read into an integer set to 0 first.
int SettingNumber(int id);
// A text setting; empty when it cannot be read.
std::string SettingText(int id);
// Initialises the store and returns EMAIL_LANGUAGE, or -1 when that fails.
int MailLanguage(void);

/* event_commands.cpp */
// Runs the process test "ps | grep NAME" + separator + ">" + scratch file:
// returns 1 when the daemon is missing (the first line names grep), 0 when it
// runs, -1 when the scratch file does not open. The scratch file is removed
// when removeAfter is set.
int ProcessMissing(const char *name, const char *separator, const char *scratch, int lineChars,
                   bool removeAfter);
// The music server test ("ps | grep mt-daapd>/tmp/iTunes_tmp.tmp").
int MusicServerMissing(int lineChars);
// Starts "glimmet 333333 6 &".
void StartLed(void);
// The text of a language key printed by the mail script with -onlysubject;
// empty when it cannot be run.
std::string LookupMailText(int language, const char *key);

// Starts one mail: kestrin.sh -l language -s "$\$\$subjectKey" -b body -p
// eventPath -var "/web/file/nasemailbody.var" -flag flag [-t address -head 1] &.
// body is the -b word as shell text built with MailBody* below.
struct MailBody {
    std::string shellText;  // shell text of the -b word; quoted pieces inside
};
void MailBodyFixed(MailBody *body, const char *text);  // the Part's fixed text, keys included
void MailBodyQuoted(MailBody *body, const std::string &text);  // outside text, as one quoted piece
void StartMail(int language, const char *subjectKey, const MailBody &body,
               const std::string &eventPath, int flag, const std::string &address);
// A mail whose body is one language key: -b "$\$\$bodyKey".
void StartKeyMail(int language, const char *subjectKey, const char *bodyKey,
                  const std::string &eventPath, int flag);

/* nas_log.cpp */
// "%d\t0\tINFO\t" and the formatted text appended to "nasLog.log". 0 or 1.
int WriteNasLog(const char *text, int level);
// Formats a tab-separated event text; returns 0, or 1 ("Bad format of Log!" printed).
int FormatNasLogLine(const char *text, std::string *out);
// Moves the log to its "1" name when du reports more than 10 megabytes.
void RotateNasLog(const char *path);
// "year/month/day hours:minutes:seconds" from the date command.
std::string CurrentDateText(void);
// Puts one 256-byte record on the log daemon's queue. 0 or 1.
int SendLogRecord(const char *text);

/* event_checks.cpp */
void CheckLedWarnings(void);
void CheckFsckMail(void);
void CheckSambaDaemons(void);
void CheckFtpDaemon(void);
void CheckMediaServer(void);
void CheckMusicServer(void);
void MailDownloadProblem(int bitTorrent, int problemFlag);

/* media_folders.cpp */
// "[HDD1]C:\music" -> "USB5/C:/music". Returns 0, or 1 for an unknown label.
int ConvertMediaFolder(const char *line, std::string *path);
// The volume label of volume 1 to 8 ("[USB1]" ... "[HDD4]"), null otherwise.
const char *VolumeLabel(int volume);
void CheckMediaFolders(void);

/* download_lists.cpp */
// Reads the items of a "bt.cfg" stream of partition volume/letter.
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
void LoadBtLists(std::vector<BtItem> *list);
void ProcessBtList(DownloadRunState *state);
void WriteBtRow(const BtItem &item, int btEnable, int row);
// "%.2fGB", "%.2fMB" or "%.2fKB" of a size in bytes.
std::string FormatBtSize(int64_t size);
// The bt.pid section of torrentInformation: pid and work file; 0 when found.
int FindBtPid(FILE *in, const std::string &torrentInformation, long *pid, std::string *tempFile);

/* download_web.cpp */
void LoadWebLists(std::vector<WebDownloadItem> *list);
void ProcessWebList(DownloadRunState *state);
std::string FormatSize(double bytes);
// "[HDD1]C:\folder\" for a full path "/mnt/USB5/C:/folder/name".
std::string WebLocationText(const std::string &fullPath);
// The status text of a row: "Finished", "Failed", "Trying", "Paused", "NN%".
std::string WebStatusText(const WebDownloadItem &item);

/* download_mail.cpp */
// Records a finished item once: 1 when it is new. known holds the lines of
// itemsFile (read once per run, lines of up to 511 characters); the new name
// is appended to both.
int RecordFinished(const char *itemsFile, std::vector<std::string> *known, const std::string &name,
                   const char *module);
void ComposeFinishedMail(const DownloadRunState &state);
void RunDownloadStep(DownloadRunState *state);

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
// 1 when a mail is due for name on the volume (kind 0 warning, 1 limit); a
// first notice goes to the log daemon, naming a team (a group name, "-T"
// dropped) when team is set.
int RecordQuotaNotice(const char *name, const char *mountPoint, int kind, bool team = false);
void RemoveQuotaNotice(const char *name, const char *mountPoint);
// The notice file's rewrite of one name's section, without the files: copies
// in to out, returns 1 when a mail is due, *first 1 for a first notice.
int RewriteQuotaNotice(FILE *in, FILE *out, const char *name, int kind, int frequency, time_t now,
                       int *first);

/* quota_check.cpp */
void CheckQuotas(void);

/* main.cpp */
int RunEventChecks(void);
