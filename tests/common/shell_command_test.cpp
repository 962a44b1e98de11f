// shell_command_test.cpp -- command lines built with quoted words, refused
// when they do not fit, and whole-buffer I/O over a pipe.
#include "shell_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "whole_io.h"

TEST(ShellCommandTest, WordsAreQuotedAndFixedTextIsNot) {
    ShellCommand c;
    ShellCommandBegin(&c, "mv");
    ShellCommandWord(&c, "a b");
    ShellCommandWord(&c, "it's $(x)");
    ShellCommandText(&c, " 2>/dev/null");
    ShellCommandText(&c, " --to=");
    ShellCommandGlue(&c, "`y`");
    EXPECT_STREQ("mv 'a b' 'it'\\''s $(x)' 2>/dev/null --to='`y`'", ShellCommandLine(&c));
}

TEST(ShellCommandTest, TooLongIsRefusedNotCut) {
    ShellCommand c;
    std::string word(kShellCommandSize, 'x');
    EXPECT_EQ(1, BuildShellCommand(&c, "rm -f", {"a", word.c_str()}));
    EXPECT_EQ(nullptr, ShellCommandLine(&c));
    EXPECT_EQ(-1, ShellCommandRun(&c));
    // Once failed, nothing more is appended.
    ShellCommandText(&c, "x");
    EXPECT_EQ(nullptr, ShellCommandLine(&c));
}

static int Collect(void *context, const char *line, size_t length) {
    static_cast<std::vector<std::string> *>(context)->emplace_back(line, length);
    return 0;
}

TEST(ShellCommandTest, ReadsEveryLineAndTheStatus) {
    ShellCommand c;
    ASSERT_EQ(0, BuildShellCommand(&c, "printf", {"%s\\n%s", "one $HOME", "two"}));
    ShellCommandText(&c, "; exit 3");
    std::vector<std::string> lines;
    EXPECT_EQ(3, ShellCommandReadLines(&c, Collect, &lines));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("one $HOME\n", lines[0]);
    EXPECT_EQ("two", lines[1]);
}

TEST(WholeIoTest, MovesBuffersLargerThanAPipe) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::vector<char> out(1 << 20), in(out.size() + 10);
    for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<char>(i * 7);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        _exit(WriteAll(fds[1], out.data(), out.size()) == 0 ? 0 : 1);
    }
    close(fds[1]);
    EXPECT_EQ(static_cast<ssize_t>(out.size()), ReadAll(fds[0], in.data(), in.size()));
    in.resize(out.size());
    EXPECT_EQ(out, in);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, status);
    EXPECT_EQ(-1, WriteAll(-1, "x", 1));
}
