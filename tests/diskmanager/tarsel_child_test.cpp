// tarsel_child_test.cpp -- tarsel as vidula's child, with a real vidula:
// every end reaped and restarted, a tarsel that cannot run ends vidula, and
// tarsel ends with its parent however that ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "vidula_field.h"

namespace {

namespace fs = std::filesystem;

using harness::Ended;

class TarselChild : public harness::VidulaFieldTest {};

// tarsel that ends at once, again and again: every end is reaped, logged
// with its status and followed by a new start.
TEST_F(TarselChild, EveryEndedTarselIsReapedAndRestarted) {
    std::string vidula = CopyVidula();
    root_.Write("bin/tarsel",
                "#!/bin/sh\n"
                "n=$(cat " +
                    root_.At("starts") +
                    " 2>/dev/null || echo 0)\n"
                    "echo $((n + 1)) > " +
                    root_.At("starts") +
                    "\n"
                    "[ \"$n\" -ge 5 ] && exec sleep 600\n"
                    "exit 3\n");
    chmod(root_.At("bin/tarsel").c_str(), 0755);
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula({}, false, vidula);
    ASSERT_TRUE(vidula_->WaitForCount("Execute TARSEL as pid (", 6)) << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] { return harness::Zombies(vidula_->pid()) == 0; }));
    EXPECT_EQ(5, vidula_->Count(") exit status is (3)"));
    EXPECT_FALSE(Ended(TarselPid()));
    EXPECT_TRUE(vidula_->Running());
}

// No tarsel beside vidula: the start fails and vidula ends at once.
TEST_F(TarselChild, TarselThatCannotRunIsAFailedStart) {
    std::string vidula = CopyVidula();
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula({}, false, vidula);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_NE(std::string::npos, vidula_->Output().find("Fail to execute TARSEL"));
    EXPECT_EQ(std::string::npos, vidula_->Output().find("Execute TARSEL as pid ("));
}

// tarsel can no longer be run when it must be restarted: one retry after
// the retry time (10 seconds; 1 here through the environment), then vidula
// shuts down.
TEST_F(TarselChild, TarselThatCannotBeRestartedEndsVidula) {
    std::string vidula = CopyVidula();
    root_.Write("bin/tarsel", "#!/bin/sh\nexec sleep 600\n");
    chmod(root_.At("bin/tarsel").c_str(), 0755);
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula({}, true, vidula, {{"VIDULA_TARSEL_RETRY_SECONDS", "1"}});
    int tarsel = TarselPid();
    fs::remove(root_.At("bin/tarsel"));
    kill(tarsel, SIGKILL);
    EXPECT_EQ(1, vidula_->WaitExit(std::chrono::seconds(30)));
    EXPECT_EQ(2, vidula_->Count("Error: Fail to execute TARSEL"));
    EXPECT_NE(std::string::npos, vidula_->Output().find(") Program shut down"));
}

// tarsel goes away with vidula, whichever way vidula ends.
TEST_F(TarselChild, TarselEndsWithItsParent) {
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula();
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA("));
    int tarsel = TarselPid();
    vidula_->Signal(SIGKILL);
    EXPECT_TRUE(harness::WaitUntil([&] { return Ended(tarsel); }, std::chrono::seconds(5)));
    EXPECT_TRUE(harness::WaitUntil([&] {
        return vidula_->Output().find("(TARSEL-" + std::to_string(tarsel) +
                                      ") Program shut down") != std::string::npos;
    }));
}

TEST_F(TarselChild, FatalReloadShutsDownTarselToo) {
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula();
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA("));
    int tarsel = TarselPid();
    WriteConfig({{"ipcam_fps", "500"}});
    vidula_->Signal(SIGHUP);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_NE(std::string::npos,
              vidula_->Output().find("(VIDULA-" + std::to_string(vidula_->pid()) +
                                     ") Program shut down"));
    EXPECT_TRUE(harness::WaitUntil([&] { return Ended(tarsel); }, std::chrono::seconds(5)));
}

}  // namespace
