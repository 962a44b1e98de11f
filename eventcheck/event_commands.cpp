// event_commands.cpp -- the commands the checks start: process tests, the LED and the mail script.
//
// Command lines keep the appliance's form: fixed text (options, the
// "$\$\$key" words in double quotes, "&") as it stands, and every path or
// text from outside as a single-quoted piece glued into its word, so the mail
// script receives exactly the argument the plain form would give it and
// nothing inside the text can run.
#include <string.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

// The scratch file's first line, read with lineChars characters at most.
static int FirstLineNamesGrep(const char *scratch, int lineChars, bool removeAfter) {
    std::string path = NasPath(scratch);
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr) return -1;
    std::vector<char> line(static_cast<size_t>(lineChars) + 1, '\0');
    if (fgets(line.data(), lineChars + 1, file) == nullptr) line[0] = '\0';
    fclose(file);
    if (removeAfter) unlink(path.c_str());
    return strstr(line.data(), "grep") != nullptr ? 1 : 0;
}

int ProcessMissing(const char *name, const char *separator, const char *scratch, int lineChars,
                   bool removeAfter) {
    ShellCommand command;
    ShellCommandBegin(&command, "ps | grep ");
    ShellCommandText(&command, name);
    ShellCommandText(&command, separator);
    ShellCommandText(&command, ">");
    ShellCommandGlue(&command, NasPath(scratch).c_str());
    ShellCommandRun(&command);
    return FirstLineNamesGrep(scratch, lineChars, removeAfter);
}

int MusicServerMissing(int lineChars) {
    return ProcessMissing("mt-daapd", "", "/tmp/iTunes_tmp.tmp", lineChars, false);
}

void StartLed(void) {
    ShellCommand command;
    ShellCommandBegin(&command, "glimmet 333333 6 &");
    ShellCommandRun(&command);
}

static int KeepFirstLine(void *context, const char *line, size_t length) {
    std::string *out = static_cast<std::string *>(context);
    // The first line without its newline.
    if (length > 0 && line[length - 1] == '\n') length--;
    *out = std::string(line, length);
    return 1;
}

// Starts a mail script command "kestrin.sh -l LANGUAGE -s "$\$\$KEY"": the
// key, a fixed text of this program, in double quotes so that the script
// receives "$$$KEY".
static void BeginMailCommand(ShellCommand *command, int language, const char *key) {
    char head[64];
    snprintf(head, sizeof(head), "kestrin.sh -l %d -s \"$\\$\\$", language);
    ShellCommandBegin(command, head);
    ShellCommandText(command, key);
}

std::string LookupMailText(int language, const char *key) {
    ShellCommand command;
    BeginMailCommand(&command, language, key);
    ShellCommandText(&command, "\" -var ");
    ShellCommandGlue(&command, NasPath(MAIL_VAR_FILE).c_str());
    ShellCommandText(&command, " -onlysubject");
    std::string text;
    if (ShellCommandReadLines(&command, KeepFirstLine, &text) < 0) return std::string();
    return text;
}

void MailBodyFixed(MailBody *body, const char *text) {
    body->shellText += '"';
    body->shellText += text;
    body->shellText += '"';
}

void MailBodyQuoted(MailBody *body, const std::string &text) {
    ShellCommand word;
    ShellCommandBegin(&word, "");
    ShellCommandGlue(&word, text.c_str());
    const char *quoted = ShellCommandLine(&word);
    body->shellText += quoted != nullptr ? quoted : "''";
}

void StartMail(int language, const char *subjectKey, const MailBody &body,
               const std::string &eventPath, int flag, const std::string &address) {
    ShellCommand command;
    BeginMailCommand(&command, language, subjectKey);
    ShellCommandText(&command, "\" -b ");
    ShellCommandText(&command, body.shellText.c_str());
    ShellCommandText(&command, " -p ");
    ShellCommandGlue(&command, NasPath(eventPath.c_str()).c_str());
    ShellCommandText(&command, " -var ");
    ShellCommandGlue(&command, NasPath(MAIL_VAR_FILE).c_str());
    ShellCommandText(&command, flag == 0 ? " -flag 0" : " -flag 1");
    if (!address.empty()) {
        ShellCommandText(&command, " -t ");
        ShellCommandGlue(&command, address.c_str());
        ShellCommandText(&command, " -head 1");
    }
    ShellCommandText(&command, " &");
    ShellCommandRun(&command);
}

void StartKeyMail(int language, const char *subjectKey, const char *bodyKey,
                  const std::string &eventPath, int flag) {
    MailBody body;
    std::string text = std::string("$\\$\\$") + bodyKey;
    MailBodyFixed(&body, text.c_str());
    StartMail(language, subjectKey, body, eventPath, flag, std::string());
}
