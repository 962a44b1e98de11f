// Process tests of vidula's skeleton: options, start-up, queues, signals,
// reload, shutdown and the tarsel child.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {

using harness::Process;
using harness::QueueReader;
using harness::TempRoot;

const std::string kUsage = harness::ProgramUsage("VIDULA");

std::string Vidula() { return harness::BinDir() + "/vidula"; }

TEST(VidulaOptions, UsageAndExitStatus) {
    const struct {
        std::vector<std::string> args;
        std::string output;
    } cases[] = {
        {{}, kUsage},
        {{"-v"}, std::string("VIDULA runs in verbose mode\n") + kUsage},
        {{"-h", "-c", "x.conf"}, kUsage},
        {{"-x", "-c", "x.conf"}, std::string("Unknown option 'x'\n") + kUsage},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {Vidula()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        harness::RunResult r = harness::Run(argv);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.output, r.output);
    }
}

TEST(VidulaOptions, OverlongConfigPathIsRefused) {
    harness::RunResult r = harness::Run({Vidula(), "-c", "/" + std::string(1039, 'c')});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("(VIDULA) Error: config file path is longer than 1039 characters\n", r.output);
}

// A fatal value at start-up ends vidula with its message on standard error
// (no queue and no console output are set up yet); -v shows the echo lines
// up to the fault.
TEST(VidulaStartup, FatalValueEndsWithItsMessage) {
    TempRoot root;
    std::string conf = root.Write("v.conf", harness::ConfigText({{"ipcam_fps", "500"}}));
    harness::RunResult quiet = harness::Run({Vidula(), "-c", conf});
    EXPECT_EQ(1, quiet.status);
    EXPECT_EQ(0u, quiet.output.find("(VIDULA-"));
    EXPECT_NE(std::string::npos,
              quiet.output.find(") Error: Invalid IP camera frame rate number: 500\n"));
    harness::RunResult verbose = harness::Run({Vidula(), "-v", "-c", conf});
    EXPECT_EQ(1, verbose.status);
    EXPECT_NE(std::string::npos, verbose.output.find(") ipcam_video_height=240\n"));
    EXPECT_NE(std::string::npos, verbose.output.find("Invalid IP camera frame rate"));
    harness::RunResult missing = harness::Run({Vidula(), "-c", root.At("none.conf")});
    EXPECT_EQ(1, missing.status);
    EXPECT_NE(std::string::npos, missing.output.find(") Error: Fail to open config file "));
}

TEST(VidulaStartup, MissingMandatoryValueExits) {
    TempRoot root;
    std::string conf = root.Write("v.conf", harness::ConfigText({{"ipcam_address", ""}}));
    harness::RunResult r = harness::Run({Vidula(), "-c", conf});
    EXPECT_EQ(1, r.status);
}

// A running vidula with both queues, a camera that accepts and never answers,
// and this test as its parent (the NVR manager's place).
class VidulaRun : public ::testing::Test {
  protected:
    void SetUp() override {
        harness::BlockManagerWakeups();
        logQueue_.reset(new QueueReader(root_.Write("logq", "")));
        managerQueue_.reset(new QueueReader(root_.Write("mgrq", "")));
    }
    // SIGUSR1 stays blocked to the end: vidula wakes its parent with it.
    void TearDown() override { vidula_.reset(); }

    std::string WriteConfig(const std::map<std::string, std::string> &extra = {}) {
        std::map<std::string, std::string> keys = {
            {"ipcam_port", std::to_string(camera_.port())},
            {"nvr_record_folder", root_.At("rec") + "/"},
            {"nvr_log_mq", root_.At("logq")},
            {"nvr_manager_mq", root_.At("mgrq")},
            {"nvr_log_console", "yes"},
        };
        for (const auto &e : extra) keys[e.first] = e.second;
        return root_.Write("vidula.conf", harness::ConfigText(keys));
    }

    void Start(bool verbose, const std::map<std::string, std::string> &extra = {}) {
        std::string conf = WriteConfig(extra);
        std::vector<std::string> argv = {Vidula()};
        if (verbose) argv.push_back("-v");
        argv.push_back("-c");
        argv.push_back(conf);
        vidula_.reset(new Process(argv));
        if (extra.count("nvr_log_console")) return;
        ASSERT_TRUE(vidula_->WaitForLine("Execute TARSEL as pid (")) << vidula_->Output();
        ASSERT_TRUE(
            vidula_->WaitForLine("Executed by VIDULA(" + std::to_string(vidula_->pid()) + ")"))
            << vidula_->Output();
    }

    // The pid of the tarsel named in the newest "Execute TARSEL" line.
    int TarselPid() {
        std::string out = vidula_->Output();
        size_t at = out.rfind("Execute TARSEL as pid (");
        return at == std::string::npos ? -1 : atoi(out.c_str() + at + 23);
    }

    // Reads log records until one holds text; the records read are kept, so
    // records of vidula and tarsel may be looked for in any order.
    bool NextLog(const std::string &text) {
        for (const std::string &seen : logs_) {
            if (seen.find(text) != std::string::npos) return true;
        }
        int code;
        std::string got;
        while (logQueue_->NextLog(&code, &got)) {
            logs_.push_back(got);
            if (got.find(text) != std::string::npos) return true;
        }
        return false;
    }

    TempRoot root_;
    harness::SilentPort camera_;
    std::unique_ptr<QueueReader> logQueue_, managerQueue_;
    std::unique_ptr<Process> vidula_;
    std::vector<std::string> logs_;
};

TEST_F(VidulaRun, StartsTarselAndLogsToTheQueue) {
    Start(false);
    std::string pid = std::to_string(vidula_->pid());
    EXPECT_TRUE(NextLog("VIDULA-" + pid + "\t\tStart at time ["));
    EXPECT_TRUE(NextLog("VIDULA-" + pid + "\t\tExecute TARSEL as pid (" +
                        std::to_string(TarselPid()) + ")"));
    EXPECT_TRUE(
        NextLog("TARSEL-" + std::to_string(TarselPid()) + "\t\tExecuted by VIDULA(" + pid + ")"));
    std::string out = vidula_->Output();
    EXPECT_NE(std::string::npos, out.find("(VIDULA-" + pid + ") Start at time ["));
    EXPECT_EQ(std::string::npos, out.find("LoadConfig() init")) << "no -v, no info lines";
}

TEST_F(VidulaRun, VerboseModePassesOnToTarsel) {
    Start(true);
    EXPECT_TRUE(vidula_->WaitForLine("TARSEL runs in verbose mode"));
    EXPECT_TRUE(
        vidula_->WaitForLine("(TARSEL-" + std::to_string(TarselPid()) + ") LoadConfig() init"));
}

TEST_F(VidulaRun, ShutdownOnTermStopsTarselAndExitsOne) {
    Start(false);
    int tarsel = TarselPid();
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    std::string out = vidula_->Output();
    EXPECT_NE(std::string::npos, out.find("Warning: Processing signal and shutdown"));
    EXPECT_NE(std::string::npos, out.find("Program shut down"));
    EXPECT_NE(std::string::npos, out.find("Remind: Shutdown() is not finished"));
    EXPECT_TRUE(vidula_->WaitForLine("(TARSEL-" + std::to_string(tarsel) + ") Program shut down"))
        << vidula_->Output();
}

TEST_F(VidulaRun, ReloadOnHangupWhilePolling) {
    Start(false);
    int tarsel = TarselPid();
    vidula_->Signal(SIGHUP);
    // The reload happens through poll()'s EINTR path, and tarsel follows.
    EXPECT_TRUE(vidula_->WaitForLine("(VIDULA) Reload config file " + root_.At("vidula.conf")));
    EXPECT_TRUE(vidula_->WaitForLine("Remind: ReloadConfig() is not finished"));
    EXPECT_TRUE(vidula_->WaitForLine("(TARSEL) Reload config file " + root_.At("vidula.conf")));
    EXPECT_TRUE(vidula_->WaitForCount("Load config file: ", 2));
    EXPECT_EQ(tarsel, TarselPid());
    EXPECT_TRUE(vidula_->Running());
}

TEST_F(VidulaRun, ReloadWithFatalValueShutsDownWithItsMessage) {
    Start(false);
    WriteConfig({{"ipcam_port", "-1"}});
    vidula_->Signal(SIGHUP);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_NE(std::string::npos,
              vidula_->Output().find(") Error: Invalid IP camera port number: -1\n"));
    EXPECT_TRUE(NextLog("Error: Invalid IP camera port number: -1"));
}

TEST_F(VidulaRun, ReloadWithMissingValueShutsDown) {
    Start(false);
    WriteConfig({{"ipcam_fps", ""}});
    vidula_->Signal(SIGHUP);
    EXPECT_EQ(1, vidula_->WaitExit());
    std::string out = vidula_->Output();
    EXPECT_NE(std::string::npos, out.find("Error: No valid IP camera frame rate assigned"));
    EXPECT_NE(std::string::npos, out.find("Program shut down"));
}

TEST_F(VidulaRun, KilledTarselIsRestarted) {
    Start(false);
    int first = TarselPid();
    ASSERT_EQ(0, kill(first, SIGKILL));
    EXPECT_TRUE(vidula_->WaitForLine("Child process (" + std::to_string(first) +
                                     ") is terminated by (9) signal"));
    EXPECT_TRUE(vidula_->WaitForCount("Executed by VIDULA(", 2));
    EXPECT_TRUE(vidula_->WaitForCount("Execute TARSEL as pid (", 2));
    EXPECT_NE(first, TarselPid());
    EXPECT_TRUE(kill(TarselPid(), 0) == 0);
}

TEST_F(VidulaRun, TarselThatExitsIsRestarted) {
    Start(false);
    int first = TarselPid();
    kill(first, SIGTERM);  // tarsel ends with status 1
    EXPECT_TRUE(vidula_->WaitForLine("Child process (" + std::to_string(first) +
                                     ") is terminated normally"));
    EXPECT_TRUE(vidula_->WaitForCount("Executed by VIDULA(", 2));
}

TEST_F(VidulaRun, QueuedSignalValues) {
    Start(true);
    union sigval value;
    // Value 1: forwarded to the parent as a plain SIGUSR1.
    value.sival_int = 1;
    ASSERT_EQ(0, sigqueue(vidula_->pid(), SIGUSR1, value));
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    siginfo_t info;
    struct timespec wait = {20, 0};
    ASSERT_EQ(SIGUSR1, sigtimedwait(&set, &info, &wait));
    EXPECT_EQ(vidula_->pid(), info.si_pid);
    EXPECT_TRUE(vidula_->WaitForLine("Receive signal (10) with value (1)"));
    // Other values are only logged.
    value.sival_int = 7;
    ASSERT_EQ(0, sigqueue(vidula_->pid(), SIGUSR1, value));
    EXPECT_TRUE(vidula_->WaitForLine("Receive signal (10) with value (7)"));
    EXPECT_TRUE(vidula_->WaitForLine(") undefined signal value"));
    value.sival_int = 2;
    ASSERT_EQ(0, sigqueue(vidula_->pid(), SIGUSR1, value));
    EXPECT_TRUE(vidula_->WaitForLine("Receive signal (10) with value (2)"));
    kill(vidula_->pid(), SIGUSR2);
    EXPECT_TRUE(vidula_->WaitForLine("Receive signal (12)"));
    EXPECT_TRUE(vidula_->Running());
}

TEST_F(VidulaRun, ConsoleOffKeepsQueueRecords) {
    Start(false, {{"nvr_log_console", "no"}});
    std::string pid = std::to_string(vidula_->pid());
    EXPECT_TRUE(NextLog("VIDULA-" + pid + "\t\tStart at time ["));
    EXPECT_EQ(std::string::npos, vidula_->Output().find("(VIDULA-" + pid + ")"));
}

}  // namespace
