// Tests of the NAS_ROOT resolver and the shell quoting.
#include "nas_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "shell.h"

namespace {

class NasRootEnv {
  public:
    explicit NasRootEnv(const char *value) {
        if (value)
            setenv("NAS_ROOT", value, 1);
        else
            unsetenv("NAS_ROOT");
    }
    ~NasRootEnv() { unsetenv("NAS_ROOT"); }
};

TEST(NasPath, MapsAbsolutePathsUnderTheRoot) {
    struct Case {
        const char *root;
        const char *path;
        const char *want;
    } cases[] = {
        {nullptr, "/dev/mtd", "/dev/mtd"},
        {"", "/dev/mtd", "/dev/mtd"},
        {"/tmp/r", "/dev/mtd", "/tmp/r/dev/mtd"},
        {"/tmp/r/", "/tmp/x.flag", "/tmp/r/tmp/x.flag"},
        {"/tmp/r", "relative/file", "relative/file"},
        {"/tmp/r", "/", "/tmp/r/"},
    };
    for (const Case &c : cases) {
        NasRootEnv env(c.root);
        EXPECT_EQ(c.want, NasPath(c.path)) << (c.root ? c.root : "(unset)") << " " << c.path;
    }
}

TEST(NasPath, IntoRefusesWhatDoesNotFit) {
    NasRootEnv env("/tmp/r");
    char out[16];
    EXPECT_EQ(0, NasPathInto(out, sizeof(out), "/dev/mtd"));
    EXPECT_STREQ("/tmp/r/dev/mtd", out);
    EXPECT_EQ(1, NasPathInto(out, sizeof(out), "/nasext/main/x"));
    EXPECT_STREQ("", out);
}

TEST(ShellQuote, QuotedWordsReachTheCommandUnchanged) {
    const char *texts[] = {
        "plain", "with blank", "dollar $HOME",          "back`id`quote", "single ' quote",
        "''",    "",           "semi;colon && rm -rf x"};
    for (const char *text : texts) {
        char word[256];
        ASSERT_EQ(0, ShellQuote(word, sizeof(word), text));
        std::string command = std::string("printf '%s' ") + word;
        FILE *out = OpenShellOutput(command.c_str());
        ASSERT_NE(nullptr, out);
        char got[256] = {0};
        size_t n = fread(got, 1, sizeof(got) - 1, out);
        EXPECT_EQ(0, CloseShellOutput(out));
        EXPECT_EQ(std::string(text), std::string(got, n));
    }
}

TEST(ShellQuote, RefusesWhatDoesNotFit) {
    char word[8];
    EXPECT_EQ(0, ShellQuote(word, sizeof(word), "abcde"));
    EXPECT_STREQ("'abcde'", word);
    EXPECT_EQ(1, ShellQuote(word, sizeof(word), "abcdef"));
    EXPECT_STREQ("", word);
    EXPECT_EQ(1, ShellQuote(word, sizeof(word), "ab'c"));
}

TEST(RunShellCommand, ReportsTheExitStatus) {
    EXPECT_EQ(0, RunShellCommand("true"));
    EXPECT_EQ(3, RunShellCommand("exit 3"));
    EXPECT_EQ(-1, RunShellCommand("kill -9 $$"));
}

}  // namespace
