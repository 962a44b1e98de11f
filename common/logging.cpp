// logging.cpp -- console output, LogRecords and ManagerRecords.
#include "logging.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <string>

#include "bytes.h"
#include "whole_io.h"

LoggingState gLogging = {"", 0, 0, 0, 0, -1, -1};

// Lines longer than this are cut; the longest line a caller builds is an echo
// line of a 1023-character configuration value.
enum { LOG_LINE_SIZE = 2048 };

// Until the queues are set up, console output is off: errors then go to
// standard error as well, so that a failed start-up is never silent.
static bool gStartupErrorsToStderr = true;

void InitLogging(const char *programName) {
    gStartupErrorsToStderr = true;
    gLogging.programName = programName;
    gLogging.ownPid = getpid();
    gLogging.parentPid = 0;
    gLogging.verbose = 0;
    gLogging.consoleLogging = 0;
    gLogging.logQueueId = -1;
    gLogging.managerQueueId = -1;
}

static void VPrintConsole(const char *format, va_list args) {
    char line[LOG_LINE_SIZE];
    int n = vsnprintf(line, sizeof(line), format, args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof(line) ? static_cast<size_t>(n) : sizeof(line) - 1;
    if (static_cast<size_t>(n) >= sizeof(line) && len > 0)
        line[len - 1] = '\n';                  // keep the line end
    (void)WriteAll(STDOUT_FILENO, line, len);  // a console that cannot be written is let go
}

void PrintConsole(const char *format, ...) {
    va_list args;
    va_start(args, format);
    VPrintConsole(format, args);
    va_end(args);
}

static void PrintLogLine(const char *text) {
    PrintConsole("(%s-%d) %s\n", gLogging.programName, static_cast<int>(gLogging.ownPid), text);
}

// Prints the errno name for the ftok failures the log daemon's readers know.
static void PrintFtokErrno(int err) {
    switch (err) {
        case EBADF:
            PrintConsole("EBADF\n");
            break;
        case ENOENT:
            PrintConsole("ENOENT\n");
            break;
        case ENOTDIR:
            PrintConsole("ENOTDIR\n");
            break;
        case EACCES:
            PrintConsole("EACCES\n");
            break;
        default:
            break;
    }
}

// Opens one queue; queueId keeps its value when no key can be derived.
static void OpenOneQueue(const char *path, int *queueId, const char *what, const char *okText) {
    if (path == nullptr || path[0] == '\0') {
        *queueId = -1;
        return;
    }
    key_t key = ftok(path, 0x31);
    if (key == -1) {
        PrintFtokErrno(errno);
        PrintConsole("(%s) failed to open %s message queue '%s' -- ftok() error\n",
                     gLogging.programName, what, path);
        return;
    }
    *queueId = msgget(key, IPC_CREAT | 0660);
    if (*queueId == -1) {
        PrintConsole("(%s) failed to open/create %s message queue '%s' -- msgget() error\n",
                     gLogging.programName, what, path);
    } else {
        LogInfo("%s", okText);
    }
}

void OpenMessageQueues(const char *logQueuePath, const char *managerQueuePath,
                       unsigned char consoleFlag) {
    gStartupErrorsToStderr = false;
    gLogging.consoleLogging = consoleFlag;
    OpenOneQueue(logQueuePath, &gLogging.logQueueId, "log",
                 "open/create log message queue successfully");
    OpenOneQueue(managerQueuePath, &gLogging.managerQueueId, "NVR manager",
                 "open/create NVR manager message queue successfully");
}

void LogMessage(int code, const char *text, int flags) {
    if (text == nullptr) return;
    if ((flags & LOG_CONSOLE) && gLogging.consoleLogging) PrintLogLine(text);
    if (flags & LOG_ERROR) {
        code |= 0x80;
        flags |= LOG_QUEUE;
    }
    if (flags & LOG_QUEUE) SendLogRecord(code, text);
}

static void VLogPrefixed(int code, int flags, const char *prefix, const char *format,
                         va_list args) {
    char text[LOG_LINE_SIZE];
    size_t n = strlen(prefix);
    if (n >= sizeof(text)) n = sizeof(text) - 1;
    memcpy(text, prefix, n);
    vsnprintf(text + n, sizeof(text) - n, format, args);
    LogMessage(code, text, flags);
}

void LogEvent(int flags, const char *format, ...) {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    VLogPrefixed(LOG_CODE_NORMAL, flags, "", format, args);
    va_end(args);
}

static void VLogError(const char *detail, const char *format, va_list args) {
    char text[LOG_LINE_SIZE];
    vsnprintf(text, sizeof(text), format, args);
    LogMessage(LOG_CODE_ERROR, std::string("Error: ").append(text).c_str(),
               LOG_CONSOLE | LOG_QUEUE | LOG_ERROR);
    if (!gStartupErrorsToStderr) return;
    std::string line = "(" + std::string(gLogging.programName) + "-" +
                       std::to_string(static_cast<int>(gLogging.ownPid)) + ") Error: " + text +
                       (detail != nullptr ? detail : "") + "\n";
    WriteAll(STDERR_FILENO, line.data(), line.size());
}

void LogError(const char *format, ...) {
    va_list args;
    va_start(args, format);
    VLogError(nullptr, format, args);
    va_end(args);
}

void LogErrorWithDetail(const char *detail, const char *format, ...) {
    va_list args;
    va_start(args, format);
    VLogError(detail, format, args);
    va_end(args);
}

void LogWarning(const char *format, ...) {
    va_list args;
    va_start(args, format);
    VLogPrefixed(LOG_CODE_NORMAL, LOG_CONSOLE, "Warning: ", format, args);
    va_end(args);
}

void LogRemind(const char *format, ...) {
    va_list args;
    va_start(args, format);
    VLogPrefixed(LOG_CODE_NORMAL, LOG_CONSOLE, "Remind: ", format, args);
    va_end(args);
}

void LogInfo(const char *format, ...) {
    if (!gLogging.verbose) return;
    char text[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    PrintLogLine(text);
}

int SendLogRecord(int code, const char *text) {
    if (gLogging.logQueueId == -1 || text == nullptr) return 1;
    // The record's text is "NAME-pid", two TABs and the message; the message
    // is cut so that the whole fits the record.
    int room = LOG_RECORD_SIZE - static_cast<int>(strlen(gLogging.programName)) - 9;
    if (room < 0) room = 0;
    LogRecord record;
    memset(&record, 0, sizeof(record));
    record.type = LOG_RECORD_TYPE;
    PutLe16(record.body, static_cast<uint16_t>(code));
    snprintf(reinterpret_cast<char *>(record.body + 2), LOG_RECORD_TEXT_SIZE, "%s-%d\t%s\t%.*s",
             gLogging.programName, static_cast<int>(gLogging.ownPid), "", room, text);
    if (msgsnd(gLogging.logQueueId, &record, LOG_RECORD_SIZE, IPC_NOWAIT) == 0) return 0;
    if (errno == EAGAIN) LogInfo("send message to log abort -- may be blocked");
    return 1;
}

static int SendManagerRecord(pid_t pid, int code, const char *text) {
    if (gLogging.managerQueueId == -1) return 1;
    if (text == nullptr) text = "";
    size_t len = strlen(text);
    if (len > 256) len = 255;
    ManagerRecord record;
    memset(&record, 0, sizeof(record));
    record.type = MANAGER_RECORD_TYPE;
    PutLe32(record.body, static_cast<uint32_t>(pid));
    PutLe16(record.body + 4, static_cast<uint16_t>(code));
    memcpy(record.body + 6, text, len);
    if (msgsnd(gLogging.managerQueueId, &record, MANAGER_RECORD_SIZE, IPC_NOWAIT) == 0) return 0;
    if (errno == EAGAIN) LogInfo("send message to NVR manager abort -- may be blocked");
    return 1;
}

int WakeParent() {
    static unsigned char goneReportArmed = 1;
    // A pid of 0 or below would signal a whole process group, pid 1 is init.
    if (gLogging.parentPid > 1 && getppid() == gLogging.parentPid) {
        return kill(gLogging.parentPid, SIGUSR1) == 0 ? 0 : 1;
    }
    if (goneReportArmed) {
        goneReportArmed = 0;
        LogWarning("The parent process (%d) is not there; records stay on the NVR manager queue",
                   static_cast<int>(gLogging.parentPid));
    }
    return 1;
}

int NotifyManager(int code, const char *text) {
    if (SendManagerRecord(gLogging.ownPid, code, text) != 0) return 1;
    WakeParent();
    return 0;
}

int NotifyManagerVia(pid_t pid, int code, const char *text) {
    if (SendManagerRecord(pid, code, text) != 0) return 1;
    union sigval value;
    value.sival_int = 1;
    if (pid > 0) sigqueue(pid, SIGUSR1, value);
    return 0;
}
