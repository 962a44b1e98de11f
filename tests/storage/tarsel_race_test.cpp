// tarsel_race_test.cpp -- storage checks of a real tarsel while the recording
// tree changes under du and while new requests arrive during a check.
//
// The test process plays vidula, as in tarsel_storage_test.cpp: tarsel is its
// child, requests go by SIGUSR1, answers are counted by a handler, and the
// NVR manager's queue is read. A shell loop keeps creating, renaming and
// deleting recordings and empty day folders in the tree, as vidula and the
// reclamation do. The disk is healthy throughout, so no check may fail
// (code 900) and no answer may block recording (SIGUSR2). A stream whose
// reads are interrupted shows the line reading of du and df output alone.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "storage_parse.h"

namespace {

std::atomic<int> gBlocked{0};  // SIGUSR2 caught
std::atomic<int> gAnswers{0};  // SIGUSR1 caught (either value)

void CountAnswer(int sig) {
    if (sig == SIGUSR2)
        gBlocked++;
    else
        gAnswers++;
}

// Creates, renames and deletes a recording and its day folder, over and over.
const char kChurnScript[] =
    "i=0\n"
    "while :; do\n"
    "  i=$((i + 1))\n"
    "  d=\"$0/2025/01/$((i % 9 + 10))\"\n"
    "  mkdir -p \"$d\"\n"
    "  echo x > \"$d/cam2025-01-10#10-00-00_.avi\"\n"
    "  mv \"$d/cam2025-01-10#10-00-00_.avi\" \"$d/cam2025-01-10#10-00-00_$i.avi\"\n"
    "  rm -f \"$d/cam2025-01-10#10-00-00_$i.avi\"\n"
    "  rmdir \"$d\"\n"
    "done\n";

const int kChecks = 150;

// A tool's output delivered in pieces, with a read interrupted by a signal
// (EINTR) before each piece: what tarsel's pipe reads meet when a request
// arrives during a check.
struct InterruptedOutput {
    std::vector<std::string> pieces;
    size_t next = 0;
    bool interruptNext = true;
};

ssize_t ReadInterrupted(void *cookie, char *buffer, size_t size) {
    InterruptedOutput *out = static_cast<InterruptedOutput *>(cookie);
    if (out->next >= out->pieces.size()) return 0;
    if (out->interruptNext) {
        out->interruptNext = false;
        errno = EINTR;
        return -1;
    }
    std::string &piece = out->pieces[out->next];
    size_t n = piece.size() < size ? piece.size() : size;
    memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) {
        out->next++;
        out->interruptNext = true;
    }
    return static_cast<ssize_t>(n);
}

int64_t ReadInPieces(OutputLineReader reader, const std::vector<std::string> &pieces) {
    InterruptedOutput out;
    out.pieces = pieces;
    cookie_io_functions_t io = {ReadInterrupted, nullptr, nullptr, nullptr};
    FILE *stream = fopencookie(&out, "r", io);
    if (stream == nullptr) return -2;
    int64_t result = ReadSpaceOutput(stream, reader);
    fclose(stream);
    return result;
}

// Interrupted reads are taken up again and the pieces of a cut line joined:
// the total line of du and the volume line of df come whole.
TEST(InterruptedToolOutput, PiecesAreJoinedIntoWholeLines) {
    const char kHeader[] = "Filesystem     1K-blocks      Used Available Use% Mounted on\n";
    const struct {
        const char *name;
        OutputLineReader reader;
        std::vector<std::string> pieces;
        int64_t bytes;
    } cases[] = {
        {"du, one piece", TakeDuLine, {"12\t/rec/2024\n1234\t/rec/\n"}, 1234 * 1024},
        {"du, total cut in its number",
         TakeDuLine,
         {"12\t/rec/2024\n12", "34\t/rec/\n"},
         1234 * 1024},
        {"du, total cut after its tab", TakeDuLine, {"1234\t", "/rec/", "\n"}, 1234 * 1024},
        {"du, no newline at the end", TakeDuLine, {"9", "8"}, 98 * 1024},
        {"df, header cut",
         TakeDfLine,
         {"Filesystem  ", std::string(kHeader + 12) + "/dev/sda3 100 50 77 1% /\n"},
         77 * 1024},
        {"df, available cut", TakeDfLine, {kHeader, "/dev/sda3 100 50 7", "7 1% /\n"}, 77 * 1024},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.bytes, ReadInPieces(c.reader, c.pieces)) << c.name;
    }
}

class TarselRaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gBlocked = 0;
        gAnswers = 0;
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = CountAnswer;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
        sigaction(SIGUSR2, &action, nullptr);
        managerKey_ = tmp_.At("manager.key");
        manager_.reset(new harness::QueueReader(managerKey_));
        root_ = tmp_.At("rec/");
        mkdir(root_.c_str(), 0755);
        // Enough finished recordings that du walks for a while.
        for (int day = 1; day <= 28; day++) {
            for (int minute = 0; minute < 40; minute++) {
                char relative[96];
                snprintf(relative, sizeof(relative),
                         "rec/2024/05/%02d/cam2024-05-%02d#10-%02d-00_2024-05-%02d#10-%02d-59.avi",
                         day, day, minute, day, minute);
                tmp_.Write(relative, "r");
            }
        }
        baseUsed_ = atoll(harness::Run({"du", "-s", "-k", root_}).output.c_str()) * 1024;
    }
    void TearDown() override {
        tarsel_.reset();
        churn_.reset();
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
    }

    void Start() {
        // Room for the reserve, and less than the volume's free space: every
        // check reports the used space alone.
        std::string quota = std::to_string(baseUsed_ + 50000000);
        std::string config =
            tmp_.Write("tarsel.conf", harness::ConfigText({{"nvr_record_folder", root_},
                                                           {"nvr_manager_mq", managerKey_},
                                                           {"nvr_max_file_size", "100000"},
                                                           {"nvr_max_storage_space", quota},
                                                           {"nvr_log_console", "yes"}}));
        tarsel_.reset(new harness::Process({harness::BinDir() + "/tarsel", "-c", config}));
        ASSERT_TRUE(tarsel_->WaitForLine("Executed by VIDULA(" + std::to_string(getpid()) + ")"))
            << tarsel_->Output();
        churn_.reset(new harness::Process({"sh", "-c", kChurnScript, root_}));
    }

    // Reads the next manager record; false on time-out or a failed check.
    bool NextUsedSpace() {
        int code = -1, pid = -1;
        std::string text;
        if (!manager_->NextManager(&code, &pid, &text)) {
            ADD_FAILURE() << "no answer to a storage check";
            return false;
        }
        EXPECT_EQ(getpid(), pid);
        if (code == 900) {
            ADD_FAILURE() << "check failed on a healthy disk: " << text;
            return false;
        }
        EXPECT_EQ(3, code) << text;
        // The churn only adds to the tree: anything less is a partial du output.
        EXPECT_GE(atoll(text.c_str()), baseUsed_) << text;
        return true;
    }

    harness::TempRoot tmp_;
    std::string root_, managerKey_;
    int64_t baseUsed_ = 0;
    std::unique_ptr<harness::QueueReader> manager_;
    std::unique_ptr<harness::Process> tarsel_;
    std::unique_ptr<harness::Process> churn_;
};

// One request at a time, the next only after the answer: du and df meet
// files and folders that vanish during the walk.
TEST_F(TarselRaceTest, ChecksWhileTheTreeChangesNeverFail) {
    Start();
    for (int i = 0; i < kChecks; i++) {
        int answers = gAnswers.load();
        tarsel_->Signal(SIGUSR1);
        if (!NextUsedSpace()) break;
        // The space answer follows the record's own signal.
        ASSERT_TRUE(harness::WaitUntil([&] { return gAnswers.load() >= answers + 2; }));
    }
    EXPECT_EQ(0, gBlocked.load());
    EXPECT_EQ(0, tarsel_->Count("Get invalid du output line")) << tarsel_->Output();
}

// Requests that keep arriving while a check runs, as when vidula starts a
// file during a check: the check must not be cut short by them.
TEST_F(TarselRaceTest, RequestsDuringACheckNeverFailIt) {
    Start();
    std::atomic<bool> stop{false};
    pid_t tarselPid = tarsel_->pid();
    std::thread requests([&] {
        // Paces the requests a little so that tarsel keeps running.
        struct timespec pace = {0, 300000};
        while (!stop.load()) {
            kill(tarselPid, SIGUSR1);
            nanosleep(&pace, nullptr);
        }
    });
    for (int i = 0; i < kChecks; i++) {
        if (!NextUsedSpace()) break;
    }
    stop = true;
    requests.join();
    EXPECT_EQ(0, gBlocked.load());
    EXPECT_EQ(0, tarsel_->Count("Get invalid du output line")) << tarsel_->Output();
}

}  // namespace
