// Process tests of tarsel: options, start-up, reload, shutdown, and how its
// loop serves check requests. This test plays vidula, tarsel's parent.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {

using harness::Process;
using harness::TempRoot;

const std::string kUsage = harness::ProgramUsage("TARSEL");

std::string Tarsel() { return harness::BinDir() + "/tarsel"; }

TEST(TarselOptions, UsageAndExitStatus) {
    const struct {
        std::vector<std::string> args;
        std::string output;
    } cases[] = {
        {{}, kUsage},
        {{"-h"}, kUsage},
        {{"-v"}, std::string("TARSEL runs in verbose mode\n") + kUsage},
        {{"-e", "x", "-c", "f"}, std::string("Unknown option 'e'\n") + kUsage},
        {{"-q", "-c", "f"}, std::string("Unknown option 'q'\n") + kUsage},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {Tarsel()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        harness::RunResult r = harness::Run(argv);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.output, r.output);
    }
}

class TarselRun : public ::testing::Test {
  protected:
    void Start(const std::map<std::string, std::string> &keys) {
        std::map<std::string, std::string> all = {{"nvr_log_console", "yes"},
                                                  {"nvr_record_folder", root_.At("rec") + "/"}};
        for (const auto &k : keys) all[k.first] = k.second;
        root_.Write("rec/.keep", "");  // the recording folder the checks measure
        conf_ = root_.Write("tarsel.conf", harness::ConfigText(all));
        tarsel_.reset(new Process({Tarsel(), "-v", "-c", conf_}));
        ASSERT_TRUE(tarsel_->WaitForLine("Executed by VIDULA(" + std::to_string(getpid()) + ")"))
            << tarsel_->Output();
    }
    TempRoot root_;
    std::string conf_;
    std::unique_ptr<Process> tarsel_;
};

TEST_F(TarselRun, RunsOnWithMissingValuesAndStopsOnTerm) {
    Start({{"ipcam_address", ""}});
    EXPECT_TRUE(tarsel_->Running());
    tarsel_->Signal(SIGTERM);
    EXPECT_EQ(1, tarsel_->WaitExit());
    std::string out = tarsel_->Output();
    std::string p = "(TARSEL-" + std::to_string(tarsel_->pid()) + ") ";
    EXPECT_NE(
        std::string::npos,
        out.find(p + "Receive signal (15)\n" + p + "Warning: Processing signal and shutdown\n" + p +
                 "Program shut down\n" + p + "Remind: Shutdown() is not finished\n"))
        << out;
}

TEST_F(TarselRun, ReloadsOnHangup) {
    Start({});
    root_.Write("tarsel.conf",
                harness::ConfigText({{"nvr_log_console", "yes"}, {"ipcam_fps", "12"}}));
    tarsel_->Signal(SIGHUP);
    EXPECT_TRUE(tarsel_->WaitForLine("(TARSEL) Reload config file " + conf_ + "\n"));
    EXPECT_TRUE(tarsel_->WaitForLine(") ipcam_fps=12\n"));
    EXPECT_TRUE(tarsel_->Running());
}

TEST_F(TarselRun, FatalValueOnReloadEndsTarsel) {
    Start({});
    root_.Write("tarsel.conf",
                harness::ConfigText({{"nvr_log_console", "yes"}, {"ipcam_fps", "0"}}));
    tarsel_->Signal(SIGHUP);
    EXPECT_EQ(1, tarsel_->WaitExit());
    EXPECT_NE(std::string::npos,
              tarsel_->Output().find("Error: Invalid IP camera frame rate number: 0\n"));
}

TEST_F(TarselRun, OtherSignalsKeepTheirDefault) {
    Start({});
    tarsel_->Signal(SIGUSR2);
    EXPECT_EQ(128 + SIGUSR2, tarsel_->WaitExit());
}

// The answers tarsel sends this test (its vidula): SIGUSR1 values and SIGUSR2.
class TarselAnswers : public TarselRun {
  protected:
    void SetUp() override {
        sigemptyset(&answers_);
        sigaddset(&answers_, SIGUSR1);
        sigaddset(&answers_, SIGUSR2);
        sigprocmask(SIG_BLOCK, &answers_, nullptr);
    }
    // Waits for the next "there is room" answer (SIGUSR1 with value 2),
    // skipping the value-1 wake-ups of manager records.
    bool NextRoomAnswer(int seconds = 20) {
        for (;;) {
            siginfo_t info;
            struct timespec wait = {seconds, 0};
            int sig = sigtimedwait(&answers_, &info, &wait);
            if (sig < 0) return false;
            if (sig == SIGUSR1 && info.si_value.sival_int == 2) return true;
        }
    }
    sigset_t answers_;
};

// Requests that arrive together are served by one check.
TEST_F(TarselAnswers, SeveralRequestsMakeOneCheck) {
    Start({});
    tarsel_->Signal(SIGSTOP);
    for (int i = 0; i < 3; i++) tarsel_->Signal(SIGUSR1);
    tarsel_->Signal(SIGCONT);
    ASSERT_TRUE(NextRoomAnswer());
    // A reload afterwards is a later pass; then no second answer is pending.
    tarsel_->Signal(SIGHUP);
    ASSERT_TRUE(tarsel_->WaitForLine("(TARSEL) Reload config file"));
    tarsel_->Signal(SIGTERM);
    EXPECT_EQ(1, tarsel_->WaitExit());
    EXPECT_FALSE(NextRoomAnswer(0));
}

// A reload and a check requested in the same second: the reload runs first,
// the check one pass later.
TEST_F(TarselAnswers, ReloadBeforeCheck) {
    Start({});
    tarsel_->Signal(SIGSTOP);
    tarsel_->Signal(SIGUSR1);
    tarsel_->Signal(SIGHUP);
    tarsel_->Signal(SIGCONT);
    ASSERT_TRUE(NextRoomAnswer());
    EXPECT_NE(std::string::npos, tarsel_->Output().find("(TARSEL) Reload config file"));
    // Each later request is answered again.
    tarsel_->Signal(SIGUSR1);
    EXPECT_TRUE(NextRoomAnswer());
}

}  // namespace
