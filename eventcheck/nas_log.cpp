// nas_log.cpp -- the appliance log "nasLog.log", the date text and the log daemon's queue.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

static const char kLogFolder[] = NAS_SYSTEM_PREFIX "var/log/";

// Takes the text up to the next tab into *field and moves *text past the tab.
static int NextField(const char **text, std::string *field) {
    const char *tab = strchr(*text, '\t');
    if (tab == nullptr) return 1;
    field->assign(*text, static_cast<size_t>(tab - *text));
    *text = tab + 1;
    return 0;
}

static int BadFormat(void) {
    printf("Bad format of Log!\n");
    return 1;
}

int FormatNasLogLine(const char *text, std::string *out) {
    std::string date, source, module, count;
    if (NextField(&text, &date) || NextField(&text, &source) || NextField(&text, &module) ||
        NextField(&text, &count)) {
        return BadFormat();
    }
    std::string line = date + "\t" + source + "\t<" + module + ">\t\t";
    int parameters = atoi(count.c_str());
    if (parameters == 0) {
        line += '<';
        for (const char *p = text; *p != '\0'; p++) {
            if (*p == '<' || *p == '>') line += '\\';
            line += *p;
        }
        line += '>';
    } else if (parameters == 1 || parameters == 2) {
        for (int i = 0; i < parameters; i++) {
            std::string tagged, plain;
            if (NextField(&text, &tagged) || NextField(&text, &plain)) return BadFormat();
            line += "<" + tagged + ">" + plain;
        }
        line += "<" + std::string(text) + ">";
    }
    *out = line + "\n";
    return 0;
}

static int KeepNumber(void *context, const char *line, size_t length) {
    *static_cast<long *>(context) = atol(line);
    return 1;
}

void RotateNasLog(const char *path) {
    ShellCommand command;
    ShellCommandBegin(&command, "du -m ");
    ShellCommandGlue(&command, path);
    ShellCommandText(&command, " |awk '{print $1}'");
    long megabytes = 0;
    if (ShellCommandReadLines(&command, KeepNumber, &megabytes) < 0) {
        perror("Open pipe");
        return;
    }
    if (megabytes > 10) {
        std::string rotated = std::string(path) + "1";
        ShellCommandBegin(&command, "mv");
        ShellCommandWord(&command, path);
        ShellCommandWord(&command, rotated.c_str());
        ShellCommandRun(&command);
    }
}

int WriteNasLog(const char *text, int level) {
    std::string folder = NasPath(kLogFolder);
    DIR *dir = opendir(folder.c_str());
    if (dir != nullptr) {
        closedir(dir);
    } else if (errno == ENOENT) {
        ShellCommand command;
        BuildShellCommand(&command, "mkdir -p", {folder.c_str()});
        ShellCommandRun(&command);
    } else {
        return 1;
    }
    int number = level == 1 ? 2 : level == 3 ? 3 : 0;
    std::string formatted;
    if (FormatNasLogLine(text, &formatted) != 0) return 1;
    char head[32];
    snprintf(head, sizeof(head), "%d\t0\tINFO\t", number);
    std::string line = head + formatted;
    std::string path = folder + "nasLog.log";
    RotateNasLog(path.c_str());
    FILE *file = fopen(path.c_str(), "a+");
    if (file == nullptr) {
        perror("_writeLog:Append");
        return 1;
    }
    fwrite(line.data(), 1, line.size(), file);
    return fclose(file) == 0 ? 0 : 1;
}

// The first line of the date file, tabs turned into blanks.
static int ReadDateFile(const std::string &path, std::string *out) {
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr) return 1;
    char line[128] = "";
    if (fgets(line, sizeof(line), file) == nullptr) line[0] = '\0';
    fclose(file);
    line[strcspn(line, "\n")] = '\0';
    for (char *p = line; *p != '\0'; p++) {
        if (*p == '\t') *p = ' ';
    }
    *out = line;
    return 0;
}

std::string CurrentDateText(void) {
    std::string path = NasPath("/tmp/date_time.tmp");
    ShellCommand command;
    ShellCommandBegin(&command, "date +%G/%m/%d%t%T>");
    ShellCommandGlue(&command, path.c_str());
    std::string text;
    // The date command is tried a few times; when its file never opens (no
    // "/tmp/" to write to) the date is formed here instead of looping forever.
    for (int attempt = 0; attempt < 5; attempt++) {
        ShellCommandRun(&command);
        if (ReadDateFile(path, &text) == 0) return text;
    }
    time_t now = time(nullptr);
    struct tm local;
    char formed[64] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(formed, sizeof(formed), "%G/%m/%d %T", &local);
    }
    return formed;
}

int SendLogRecord(const char *text) {
    key_t key = ftok(NasPath("/bin/tovald").c_str(), '1');
    if (key == -1) {
        perror("[orlinda-WriteLog] log messagequeue key get fail");
        return 1;
    }
    int queue = msgget(key, 0666);
    if (queue == -1) {
        printf("[orlinda-WriteLog] log messagequeue msgid get fail\n");
        return 1;
    }
    struct {
        long type;
        char text[LOG_RECORD_BYTES];
    } message;
    memset(&message, 0, sizeof(message));
    message.type = 1;
    // Two zero bytes, then the text: at most 253 characters and its NUL.
    strncpy(message.text + 2, text, LOG_RECORD_BYTES - 3);
    if (msgsnd(queue, &message, LOG_RECORD_BYTES, IPC_NOWAIT) == -1) {
        printf("[orlinda-WriteLog] log msgsnd fail\n");
        return 1;
    }
    return 0;
}
