// text_file_test.cpp -- whole-file rewrites are all or nothing, never follow
// a link, and stay whole under many writers and readers at once.
#include "text_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {

class TextFileTest : public ::testing::Test {
  protected:
    harness::TempRoot root_;
    std::string Path(const char *name) { return root_.At(name); }
};

TEST_F(TextFileTest, ReplaceReadAppendAndLines) {
    std::string path = Path("f.txt");
    ASSERT_EQ(0, ReplaceTextFile(path, "one\n", 0640));
    ASSERT_EQ(0, AppendTextFile(path, "two\nthree"));
    std::vector<std::string> lines;
    ASSERT_EQ(0, ReadTextLines(path, &lines));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), lines);
    // A rewrite keeps the file's mode and leaves no scratch file.
    ASSERT_EQ(0, ReplaceTextFile(path, std::string(100000, 'x') + "\n"));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(100001, st.st_size);
    EXPECT_NE(0, access((path + ".tmp." + std::to_string(getpid())).c_str(), F_OK));
    std::string text;
    EXPECT_EQ(-1, ReadTextFile(Path("missing"), &text));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(TextFileTest, LinksAreNeverWrittenThrough) {
    std::string victim = Path("victim");
    ASSERT_EQ(0, ReplaceTextFile(victim, "keep\n"));
    std::string link = Path("planted");
    ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
    EXPECT_EQ(-1, ReplaceTextFile(link, "evil\n"));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(-1, AppendTextFile(link, "evil\n"));
    // A link planted at the scratch name is removed, not followed.
    std::string target = Path("f.txt");
    ASSERT_EQ(0, symlink(victim.c_str(), (target + ".tmp." + std::to_string(getpid())).c_str()));
    ASSERT_EQ(0, ReplaceTextFile(target, "new\n"));
    std::string text;
    ASSERT_EQ(0, ReadTextFile(victim, &text));
    EXPECT_EQ("keep\n", text);
    ASSERT_EQ(0, ReadTextFile(target, &text));
    EXPECT_EQ("new\n", text);
}

TEST_F(TextFileTest, AFailedRewriteLeavesTheOldFile) {
    std::string path = Path("history");
    std::string old(50000, 'h');
    ASSERT_EQ(0, ReplaceTextFile(path, old));
    // A file size limit plays the full volume: the write stops part way.
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ReplaceTextFile(path, std::string(60000, 'n')) == -1 && errno == EFBIG ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    std::string text;
    ASSERT_EQ(0, ReadTextFile(path, &text));
    EXPECT_EQ(old, text);
    EXPECT_NE(0, access((path + ".tmp." + std::to_string(child)).c_str(), F_OK));
}

// Eight processes add one line each, 40 times, under the lock, while a
// reader checks that the file is never seen empty or cut.
TEST_F(TextFileTest, LockedRewritesLoseNothingAndReadersSeeWholeFiles) {
    std::string path = Path("count");
    std::string lock = Path("count.lock");
    ASSERT_EQ(0, ReplaceTextFile(path, "start\n"));
    const int kWriters = 8, kRounds = 40;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; w++) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int r = 0; r < kRounds; r++) {
                int held = TextFileLock(lock);
                std::string text;
                if (held < 0 || ReadTextFile(path, &text) != 0) _exit(1);
                text += "w" + std::to_string(w) + "\n";
                if (ReplaceTextFile(path, text) != 0) _exit(1);
                TextFileUnlock(held);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    int torn = 0;
    for (int alive = kWriters; alive > 0;) {
        std::string text;
        if (ReadTextFile(path, &text) != 0 || text.compare(0, 6, "start\n") != 0 ||
            text.back() != '\n') {
            torn++;
        }
        int status;
        pid_t done = waitpid(-1, &status, WNOHANG);
        if (done > 0) {
            EXPECT_EQ(0, WEXITSTATUS(status));
            alive--;
        }
    }
    EXPECT_EQ(0, torn);
    std::vector<std::string> lines;
    ASSERT_EQ(0, ReadTextLines(path, &lines));
    EXPECT_EQ(static_cast<size_t>(1 + kWriters * kRounds), lines.size());
}

TEST_F(TextFileTest, LockWithoutWaitFailsWhileHeld) {
    std::string lock = Path("run.lock");
    int held = TextFileLock(lock);
    ASSERT_GE(held, 0);
    pid_t child = fork();
    if (child == 0) _exit(TextFileLock(lock, false) == -1 && errno == EWOULDBLOCK ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    TextFileUnlock(held);
    int again = TextFileLock(lock, false);
    EXPECT_GE(again, 0);
    TextFileUnlock(again);
}

}  // namespace
