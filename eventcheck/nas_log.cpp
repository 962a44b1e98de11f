// nas_log.cpp -- the appliance log "nasLog.log", the date text and the log daemon's queue.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <time.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

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

void RotateNasLog(const char *path) {
    // The megabytes "du -m" reports: the blocks the file takes, rounded up.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return;
    long long megabytes = (static_cast<long long>(st.st_blocks) * 512 + (1 << 20) - 1) >> 20;
    if (megabytes > 10) {
        std::string rotated = std::string(path) + "1";
        rename(path, rotated.c_str());
    }
}

int WriteNasLog(const char *text, int level) {
    std::string folder = NasPath(kLogFolder);
    DIR *dir = opendir(folder.c_str());
    if (dir != nullptr) {
        closedir(dir);
    } else if (errno == ENOENT) {
        MakeFolders(kLogFolder);
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
    std::string appliancePath = std::string(kLogFolder) + "nasLog.log";
    if (AppendTextFile(appliancePath, line) != 0) {
        ReportLinkRefused(appliancePath.c_str());
        perror("_writeLog:Append");
        return 1;
    }
    return 0;
}

std::string CurrentDateText(void) {
    time_t now = time(nullptr);
    struct tm local;
    char formed[64] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(formed, sizeof(formed), "%G/%m/%d %T", &local);
    }
    return formed;
}

std::string LogFieldText(const std::string &name) {
    std::string text;
    for (char c : name) {
        if (c == '\t' || c == '\r' || c == '\n') {
            text += ' ';
        } else {
            if (c == '<' || c == '>') text += '\\';
            text += c;
        }
    }
    return text;
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
