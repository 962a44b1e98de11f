// logging.h -- console lines, the log daemon's queue and the NVR manager's queue.
//
// vidula and tarsel report through this layer: lines on standard output
// "(PROGRAM-pid) text", LogRecords on the System V queue keyed from nvr_log_mq,
// and ManagerRecords on the queue keyed from nvr_manager_mq, each followed by a
// wake-up signal. Every send is non-blocking; a full queue drops the record.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Destination flags of LogMessage and LogEvent.
enum {
    LOG_CONSOLE = 1,  // print to standard output when consoleLogging is on
    LOG_QUEUE = 2,    // send a LogRecord
    LOG_ERROR = 4,    // set bit 0x80 of the code and send as LOG_QUEUE
};

// Codes of LogRecords.
enum { LOG_CODE_NORMAL = 0, LOG_CODE_ERROR = 0x90 };

// Notification codes of ManagerRecords.
enum {
    NOTIFY_SESSION_START = 1,       // "Start a new recording session"
    NOTIFY_SESSION_STOP = 2,        // "Stop recording"
    NOTIFY_USED_SPACE = 3,          // bytes used under nvr_record_folder
    NOTIFY_CAMERA_FAILURE = 200,    // connect failure, bad address, idle time-out
    NOTIFY_HTTP_ERROR = 201,        // HTTP status other than 200 and 401, unknown protocol
    NOTIFY_AUTH_MISMATCH = 202,     // the camera answered 401
    NOTIFY_CONNECTION_ERROR = 300,  // a read from the camera failed
    NOTIFY_QUOTA_USED = 402,        // the camera's reserved space is used up
    NOTIFY_DISK_LOW = 403,          // the volume has less free space than the reserve
    NOTIFY_MEASURE_FAILED = 900,    // du or df failed
};

// Queue record layouts. Sizes are the lengths handed to msgsnd (the bytes
// after the message type); fields follow each other without gaps.
enum {
    LOG_RECORD_TYPE = 1,
    LOG_RECORD_TEXT_SIZE = 258,
    LOG_RECORD_SIZE = 2 + LOG_RECORD_TEXT_SIZE,  // code, text = 260
    MANAGER_RECORD_TYPE = 10,
    MANAGER_RECORD_TEXT_SIZE = 258,
    MANAGER_RECORD_SIZE = 4 + 2 + MANAGER_RECORD_TEXT_SIZE,  // pid, code, text = 264
};
static_assert(LOG_RECORD_SIZE == 260, "log record length");
static_assert(MANAGER_RECORD_SIZE == 264, "manager record length");

// A System V message as msgsnd/msgrcv take it: the type, then the body bytes.
struct LogRecord {
    long type;                            // LOG_RECORD_TYPE
    unsigned char body[LOG_RECORD_SIZE];  // code (LE16), text
};
struct ManagerRecord {
    long type;                                // MANAGER_RECORD_TYPE
    unsigned char body[MANAGER_RECORD_SIZE];  // pid (LE32), code (LE16), text
};

// Process-wide logging state, one per process.
struct LoggingState {
    const char *programName;       // "VIDULA" or "TARSEL"
    pid_t ownPid;                  // this process
    pid_t parentPid;               // woken by NotifyManager's SIGUSR1
    unsigned char verbose;         // -v: LogInfo lines are printed
    unsigned char consoleLogging;  // LOG_CONSOLE lines are printed
    int logQueueId;                // -1: no log queue
    int managerQueueId;            // -1: no manager queue
};
extern LoggingState gLogging;

// Sets programName and ownPid and resets the rest to the start-up state.
void InitLogging(const char *programName);

// Opens (or creates) the two queues from their key paths; an empty path means
// no queue. Failures print their line straight to standard output.
void OpenMessageQueues(const char *logQueuePath, const char *managerQueuePath,
                       unsigned char consoleFlag);

// Writes a formatted line to standard output at once (no stdio buffering),
// whatever consoleLogging says. Used for usage texts and start-up errors.
void PrintConsole(const char *format, ...) __attribute__((format(printf, 1, 2)));

void LogMessage(int code, const char *text, int flags);
void LogEvent(int flags, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Before OpenMessageQueues (console output still off) an error also goes to
// standard error as "(PROGRAM-pid) Error: text", so that a failed start-up
// is never silent; LogErrorWithDetail appends detail to that line only.
void LogError(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogErrorWithDetail(const char *detail, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void LogWarning(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogRemind(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogInfo(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Builds and sends one LogRecord; cuts text to fit. Returns 0 when the record
// was queued, 1 otherwise (no queue, queue full, other failure).
int SendLogRecord(int code, const char *text);

// Wakes the NVR manager (parentPid) with SIGUSR1, but only while it is still
// this process's parent and never when it is pid 1 (init): a dead manager's
// pid may belong to another process by now. Otherwise the record stays on
// the queue and this is logged once. Returns 0 when the signal was sent.
int WakeParent();

// Sends a ManagerRecord stamped with ownPid and wakes parentPid with SIGUSR1.
// Returns 0 when the record was queued (and the signal sent), 1 otherwise.
int NotifyManager(int code, const char *text);

// Sends a ManagerRecord stamped with pid and queues SIGUSR1 with value 1 to
// pid. Returns 0 when the record was queued, 1 otherwise.
int NotifyManagerVia(pid_t pid, int code, const char *text);
