// Tests of the logging layer: console lines, LogRecords and ManagerRecords on
// real System V queues, cuts, and full queues.
#include "logging.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {

using harness::QueueReader;
using harness::TempRoot;

volatile sig_atomic_t gUsr1Count = 0;
void CountUsr1(int) { gUsr1Count = gUsr1Count + 1; }

// NotifyManager wakes the parent only while it is the caller's parent, so it
// runs in a child of this test, which plays the manager; the record keeps
// this test's pid as its stamp. Returns NotifyManager's result.
int NotifyFromChild(int code, const std::string &text) {
    pid_t child = fork();
    if (child == 0) {
        gLogging.parentPid = getppid();
        _exit(NotifyManager(code, text.c_str()));
    }
    int status = -1;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLogging("VIDULA");
        gLogging.parentPid = getpid();  // NotifyManager wakes this test
        signal(SIGUSR1, CountUsr1);
        gUsr1Count = 0;
        logPath_ = root_.Write("logq", "");
        managerPath_ = root_.Write("mgrq", "");
        logQueue_.reset(new QueueReader(logPath_));
        managerQueue_.reset(new QueueReader(managerPath_));
    }
    void TearDown() override {
        signal(SIGUSR1, SIG_DFL);
        InitLogging("VIDULA");
    }

    std::string Open(unsigned char console) {
        testing::internal::CaptureStdout();
        OpenMessageQueues(logPath_.c_str(), managerPath_.c_str(), console);
        return testing::internal::GetCapturedStdout();
    }
    std::string Pid() { return std::to_string(getpid()); }

    TempRoot root_;
    std::string logPath_, managerPath_;
    std::unique_ptr<QueueReader> logQueue_, managerQueue_;
};

TEST_F(LoggingTest, LevelsReachConsoleAndQueue) {
    Open(1);
    testing::internal::CaptureStdout();
    LogError("disk %d gone", 3);
    LogWarning("careful");
    LogRemind("later");
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Start");
    LogEvent(LOG_QUEUE, "queue only");
    LogInfo("not verbose");
    std::string out = testing::internal::GetCapturedStdout();
    std::string p = "(VIDULA-" + Pid() + ") ";
    EXPECT_EQ(p + "Error: disk 3 gone\n" + p + "Warning: careful\n" + p + "Remind: later\n" + p +
                  "Start\n",
              out);

    const struct {
        int code;
        const char *text;
    } want[] = {{0x90, "Error: disk 3 gone"}, {0, "Start"}, {0, "queue only"}};
    for (const auto &w : want) {
        int code;
        std::string text;
        ASSERT_TRUE(logQueue_->NextLog(&code, &text, std::chrono::milliseconds(2000)));
        EXPECT_EQ(w.code, code);
        EXPECT_EQ("VIDULA-" + Pid() + "\t\t" + w.text, text);
    }
    EXPECT_EQ(0, logQueue_->Pending());
}

TEST_F(LoggingTest, ConsoleOffAndVerbose) {
    Open(0);
    gLogging.verbose = 1;
    testing::internal::CaptureStdout();
    LogError("quiet");
    LogInfo("info %s", "line");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("(VIDULA-" + Pid() + ") info line\n", out);
    int code;
    std::string text;
    ASSERT_TRUE(logQueue_->NextLog(&code, &text, std::chrono::milliseconds(2000)));
    EXPECT_EQ(0x90, code);
}

TEST_F(LoggingTest, NoLogQueueWithEmptyPath) {
    testing::internal::CaptureStdout();
    OpenMessageQueues("", "", 1);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "console only");
    EXPECT_EQ(1, NotifyManager(NOTIFY_SESSION_START, "Start a new recording session"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("(VIDULA-" + Pid() + ") console only\n", out);
    EXPECT_EQ(-1, gLogging.logQueueId);
    EXPECT_EQ(0, logQueue_->Pending());
    EXPECT_EQ(0, gUsr1Count);
}

TEST_F(LoggingTest, LogRecordTextIsCutToFit) {
    Open(0);
    std::string text(400, 'x');
    LogEvent(LOG_QUEUE, "%s", text.c_str());
    int code;
    std::string got;
    ASSERT_TRUE(logQueue_->NextLog(&code, &got, std::chrono::milliseconds(2000)));
    std::string head = "VIDULA-" + Pid() + "\t\t";
    size_t room = std::min<size_t>(260 - 6 - 9, 257 - head.size());
    EXPECT_EQ(head + std::string(room, 'x'), got);
}

TEST_F(LoggingTest, ManagerRecordsAndTheirCut) {
    Open(0);
    const struct {
        size_t length;
        size_t sent;
    } cases[] = {{0, 0}, {10, 10}, {256, 256}, {257, 255}, {1000, 255}};
    for (const auto &c : cases) {
        gUsr1Count = 0;
        ASSERT_EQ(0, NotifyFromChild(NOTIFY_CAMERA_FAILURE, std::string(c.length, 'm')));
        int code, pid;
        std::string text;
        ASSERT_TRUE(
            managerQueue_->NextManager(&code, &pid, &text, std::chrono::milliseconds(2000)));
        EXPECT_EQ(200, code);
        EXPECT_EQ(getpid(), pid);
        EXPECT_EQ(std::string(c.sent, 'm'), text) << c.length;
        EXPECT_TRUE(harness::WaitUntil([] { return gUsr1Count == 1; }));
    }
}

TEST_F(LoggingTest, NotifyViaStampsTheGivenPidAndQueuesValueOne) {
    Open(0);
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, &old);
    ASSERT_EQ(0, NotifyManagerVia(getpid(), NOTIFY_USED_SPACE, "12345"));
    siginfo_t info;
    struct timespec wait = {10, 0};
    ASSERT_EQ(SIGUSR1, sigtimedwait(&set, &info, &wait));
    sigprocmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(1, info.si_value.sival_int);
    int code, pid;
    std::string text;
    ASSERT_TRUE(managerQueue_->NextManager(&code, &pid, &text, std::chrono::milliseconds(2000)));
    EXPECT_EQ(3, code);
    EXPECT_EQ(getpid(), pid);
    EXPECT_EQ("12345", text);
}

TEST_F(LoggingTest, FullQueuesDropRecordsAndWakeNobody) {
    Open(0);
    gLogging.verbose = 1;
    // Shrink both queues so that one record fills them.
    for (int id : {logQueue_->id(), managerQueue_->id()}) {
        struct msqid_ds info;
        ASSERT_EQ(0, msgctl(id, IPC_STAT, &info));
        info.msg_qbytes = 300;
        ASSERT_EQ(0, msgctl(id, IPC_SET, &info));
    }
    ASSERT_EQ(0, SendLogRecord(0, "first"));
    ASSERT_EQ(0, NotifyFromChild(NOTIFY_SESSION_STOP, "Stop recording"));
    ASSERT_TRUE(harness::WaitUntil([] { return gUsr1Count == 1; }));

    testing::internal::CaptureStdout();
    EXPECT_EQ(1, SendLogRecord(0, "second"));
    EXPECT_EQ(1, NotifyManager(NOTIFY_SESSION_STOP, "Stop recording"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("send message to log abort -- may be blocked"));
    EXPECT_NE(std::string::npos, out.find("send message to NVR manager abort -- may be blocked"));
    EXPECT_EQ(1, logQueue_->Pending());
    EXPECT_EQ(1, managerQueue_->Pending());
    EXPECT_EQ(1, gUsr1Count);
}

TEST_F(LoggingTest, KeyPathThatDoesNotExist) {
    std::string missing = root_.At("no/such/queue");
    testing::internal::CaptureStdout();
    OpenMessageQueues(missing.c_str(), missing.c_str(), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("ENOENT\n(VIDULA) failed to open log message queue '" + missing +
                  "' -- ftok() error\nENOENT\n(VIDULA) failed to open NVR manager message queue '" +
                  missing + "' -- ftok() error\n",
              out);
    EXPECT_EQ(-1, gLogging.logQueueId);
    EXPECT_EQ(-1, gLogging.managerQueueId);
}

TEST_F(LoggingTest, QueuesOpenedWithVerboseLines) {
    gLogging.verbose = 1;
    std::string out = Open(1);
    EXPECT_NE(std::string::npos, out.find(") open/create log message queue successfully\n"));
    EXPECT_NE(std::string::npos,
              out.find(") open/create NVR manager message queue successfully\n"));
    EXPECT_EQ(logQueue_->id(), gLogging.logQueueId);
    EXPECT_EQ(managerQueue_->id(), gLogging.managerQueueId);
}

}  // namespace
