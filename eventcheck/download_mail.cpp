// download_mail.cpp -- finished downloads: the record files, the log lines and the mail body.
//
// A finished download is reported once per boot: its name stays in the
// finished-items file under "/tmp/" until its list has no items at all.
#include <string.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

int RecordFinished(const char *itemsFile, std::vector<std::string> *known, const std::string &name,
                   const char *module) {
    for (const std::string &line : *known) {
        if (line.find(name) != std::string::npos) return 0;
    }
    AppendText(itemsFile, name + "\n");
    known->push_back(name);
    std::string text = CurrentDateText() + "\tLocal\t" + module + "\t1\tdownloadBegin\t[" + name +
                       "]\tisDownloadCompletely";
    WriteNasLog(text.c_str(), 3);
    return 1;
}

static const char kBody[] = NAS_SYSTEM_PREFIX "/email/emailBtDownloadOK";

// The names of one kind: "(1)a,(2)b" + And + "(3)c" + Two, or the single name.
static void WriteNames(FILE *out, int language, const std::vector<std::string> &names,
                       bool numberSingle) {
    size_t n = names.size();
    if (n >= 2) {
        for (size_t i = 1; i + 1 < n; i++) fprintf(out, "(%zu)%s,", i, names[i - 1].c_str());
        fprintf(out, "(%zu)%s", n - 1, names[n - 2].c_str());
        fputs(LookupMailText(language, "emailAnd").c_str(), out);
        fprintf(out, "(%zu)%s", n, names[n - 1].c_str());
        fputs(LookupMailText(language, "emailBTFinishTwo").c_str(), out);
    } else if (numberSingle) {
        fprintf(out, "(%d)%s", 1, names[0].c_str());
        fputs(LookupMailText(language, "emailBTFinishOne").c_str(), out);
    } else {
        fprintf(out, "%s ", names[0].c_str());
        fputs(LookupMailText(language, "emailBTFinishOne").c_str(), out);
    }
    fputc('\n', out);
}

// Each row of a row file, followed by an empty line; the "none" text without rows.
static void WriteRows(FILE *out, int language, const char *rowFile) {
    FILE *rows = fopen(NasPath(rowFile).c_str(), "r");
    if (rows == nullptr) {
        fprintf(out, "\t%s\n", LookupMailText(language, "emailBTWebNo").c_str());
        return;
    }
    char buffer[4096];
    size_t n;
    bool lineStart = true;
    while (fgets(buffer, sizeof(buffer), rows) != nullptr) {
        fputs(buffer, out);
        n = strlen(buffer);
        lineStart = n > 0 && buffer[n - 1] == '\n';
        if (lineStart) fputc('\n', out);
    }
    if (!lineStart) fputs("\n\n", out);
    fclose(rows);
}

void ComposeFinishedMail(const DownloadRunState &state) {
    int language = MailLanguage();
    FILE *out = fopen(NasPath(kBody).c_str(), "w");
    if (out == nullptr) return;
    auto text = [language](const char *key) { return LookupMailText(language, key); };
    fprintf(out, "%s\n", text("emailDearSir").c_str());
    if (!state.btFinished.empty()) {
        fprintf(out, "\t%s\n", text("emailBTFinish").c_str());
        WriteNames(out, language, state.btFinished, false);
    }
    if (!state.webFinished.empty()) {
        fprintf(out, "\n\t%s\n", text("emailWebFinish").c_str());
        WriteNames(out, language, state.webFinished, true);
    }
    fprintf(out, "\n\t%s", text("emailBTFinishThree").c_str());
    fprintf(out, "\n\t%s\n", text("emailBTFinishMenu").c_str());
    WriteRows(out, language, "/tmp/emailBtFinish");
    fprintf(out, "\n\t%s\n", text("emailWebFinishMenu").c_str());
    WriteRows(out, language, "/tmp/emailWebFinish");
    fprintf(out, "\n\t%s", text("emailBestWishes").c_str());
    fprintf(out, "\n\t%s\n", text("emailProductName").c_str());
    fclose(out);
    std::string subject = text("emailBTFinishSubject");
    ShellCommand command;
    ShellCommandBegin(&command, "postavel -s ");
    ShellCommandGlue(&command, subject.c_str());
    ShellCommandText(&command, " -b ");
    ShellCommandGlue(&command, NasPath(kBody).c_str());
    ShellCommandText(&command, " -flag 1 &");
    ShellCommandRun(&command);
}

void RunDownloadStep(DownloadRunState *state) {
    ProcessBtList(state);
    ProcessWebList(state);
    int emailBt = SettingNumber(SETTING_EMAIL_BT);
    int emailEnable = SettingNumber(SETTING_EMAIL_ENABLE);
    if (state->anyFinished == 1 && emailEnable == 1 && emailBt != 0) ComposeFinishedMail(*state);
    RemoveFile("/tmp/emailBtFinish");
    RemoveFile("/tmp/emailWebFinish");
    if (!FileExists(NAS_SYSTEM_PREFIX "email/")) {
        ShellCommand command;
        BuildShellCommand(&command, "mkdir -p", {NasPath(NAS_SYSTEM_PREFIX "email/").c_str()});
        ShellCommandRun(&command);
    }
    ShellCommand sync;
    ShellCommandBegin(&sync, "pomerel -email&");
    ShellCommandRun(&sync);
}
