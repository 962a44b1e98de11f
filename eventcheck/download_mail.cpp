// download_mail.cpp -- finished downloads: the log lines, the mail and the record files.
//
// A finished download is reported once per boot: its name goes into the
// finished-items file under "/tmp/" once its mail was started, and stays
// there until its list has no items at all. A run ended before that point
// reports it again; none loses it.
#include <string.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static const char kBody[] = NAS_SYSTEM_PREFIX "/email/emailBtDownloadOK";

static std::string Numbered(size_t number, const std::string &name) {
    return "(" + std::to_string(number) + ")" + name;
}

// The names of one kind: "(1)a,(2)b" + And + "(3)c" + Two, or the single name.
static void AddNames(std::string *out, int language, const std::vector<std::string> &names,
                     bool numberSingle) {
    size_t n = names.size();
    if (n >= 2) {
        for (size_t i = 1; i + 1 < n; i++) *out += Numbered(i, names[i - 1]) + ",";
        *out += Numbered(n - 1, names[n - 2]);
        *out += LookupMailText(language, "emailAnd");
        *out += Numbered(n, names[n - 1]);
        *out += LookupMailText(language, "emailBTFinishTwo");
    } else if (numberSingle) {
        *out += Numbered(1, names[0]);
        *out += LookupMailText(language, "emailBTFinishOne");
    } else {
        *out += names[0] + " ";
        *out += LookupMailText(language, "emailBTFinishOne");
    }
    *out += '\n';
}

// Each row followed by an empty line; the "none" text without rows.
static void AddRows(std::string *out, int language, const std::string &rows) {
    if (rows.empty()) {
        *out += "\t" + LookupMailText(language, "emailBTWebNo") + "\n";
        return;
    }
    for (const std::string &row : SplitLines(rows)) *out += row + "\n\n";
}

// Returns 0 when the mail was started.
static int StartFinishedMail(EventRun *run) {
    const DownloadRunState &state = run->downloads;
    int language = run->settings.language;
    auto text = [language](const char *key) { return LookupMailText(language, key); };
    std::string body = text("emailDearSir") + "\n";
    if (!state.btFinished.empty()) {
        body += "\t" + text("emailBTFinish") + "\n";
        AddNames(&body, language, state.btFinished, false);
    }
    if (!state.webFinished.empty()) {
        body += "\n\t" + text("emailWebFinish") + "\n";
        AddNames(&body, language, state.webFinished, true);
    }
    body += "\n\t" + text("emailBTFinishThree");
    body += "\n\t" + text("emailBTFinishMenu") + "\n";
    AddRows(&body, language, state.btRows);
    body += "\n\t" + text("emailWebFinishMenu") + "\n";
    AddRows(&body, language, state.webRows);
    body += "\n\t" + text("emailBestWishes");
    body += "\n\t" + text("emailProductName") + "\n";
    if (ReplaceText(kBody, body) != 0) return 1;
    std::string subject = text("emailBTFinishSubject");
    return RunProgram({"postavel", "-s", subject, "-b", NasPath(kBody), "-flag", "1"}, false) == 0
               ? 0
               : 1;
}

static void LogFinished(const std::vector<std::string> &names, const char *module) {
    for (const std::string &name : names) {
        std::string text = CurrentDateText() + "\tLocal\t" + module + "\t1\tdownloadBegin\t[" +
                           LogFieldText(name) + "]\tisDownloadCompletely";
        WriteNasLog(text.c_str(), 3);
    }
}

static void RecordNames(const char *itemsFile, const std::vector<std::string> &names) {
    if (names.empty()) return;
    std::string text;
    for (const std::string &name : names) text += name + "\n";
    AppendText(itemsFile, text);
}

void ReportFinished(EventRun *run) {
    const DownloadRunState &state = run->downloads;
    if (state.anyFinished != 1) return;
    LogFinished(state.btFinished, "btDownload");
    LogFinished(state.webFinished, "webFtpDownload");
    if (run->settings.emailEnable == 1 && run->settings.emailBt != 0 &&
        StartFinishedMail(run) != 0) {
        return;  // not recorded: the next run mails them
    }
    RecordNames("/tmp/emailBtFinishItem", state.btFinished);
    RecordNames("/tmp/emailWebFinishItem", state.webFinished);
}

void RunDownloadStep(EventRun *run) {
    ProcessBtList(run);
    ProcessWebList(run);
    // The mail's body lives in the folder: made before the mail, not after.
    if (!FileExists(NAS_SYSTEM_PREFIX "email/")) MakeFolders(NAS_SYSTEM_PREFIX "email/");
    // The rows live in memory for the step; no row file is made.
    ReportFinished(run);
    RunProgram({"pomerel", "-email"}, false);
}
