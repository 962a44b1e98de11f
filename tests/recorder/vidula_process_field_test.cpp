// vidula_process_field_test.cpp -- vidula as a process in the field:
// descriptors closed on exec, the parent signalled only while it is the
// parent, and start-up failures said plainly on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vidula_field.h"

namespace {

using harness::Process;

class VidulaProcessField : public harness::VidulaFieldTest {};

// Every descriptor of vidula is closed on exec: a restarted tarsel holds
// none of the camera's or the viewers' sockets.
TEST_F(VidulaProcessField, DescriptorsAreClosedOnExec) {
    StartCamera();
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)}});
    ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected"));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    int viewer = harness::ConnectLoopback(live);
    ASSERT_NE(-1, viewer);
    ASSERT_TRUE(vidula_->WaitForLine("Accept a live video client("));
    // The camera, the listener, the viewer and the recording; descriptors
    // inherited from the test's own runner are not vidula's.
    std::map<int, std::string> fds;
    ASSERT_TRUE(harness::WaitUntil([&] {
        fds.clear();
        for (const auto &fd : harness::Descriptors(vidula_->pid())) {
            if (fd.second.find("socket:") == 0 || fd.second.find(root_.path()) == 0) {
                fds.insert(fd);
            }
        }
        return fds.size() >= 4u;
    }));
    for (const auto &fd : fds) {
        EXPECT_NE(0, harness::DescriptorFlags(vidula_->pid(), fd.first) & O_CLOEXEC)
            << fd.first << " " << fd.second;
    }
    int old = TarselPid();
    kill(old, SIGKILL);
    ASSERT_TRUE(vidula_->WaitForCount("Execute TARSEL as pid (", 2));
    int tarsel = TarselPid();
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA(" + std::to_string(vidula_->pid())));
    for (const auto &fd : harness::Descriptors(tarsel)) {
        EXPECT_EQ(std::string::npos, fd.second.find("socket:")) << fd.first << " " << fd.second;
    }
    close(viewer);
}

// The parent vidula was started by has gone: no signal goes to whatever now
// holds its pid; the record stays on the queue and it is said once.
TEST_F(VidulaProcessField, ParentIsSignalledOnlyWhileItIsTheParent) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    harness::SilentPort camera;
    port_ = camera.port();
    std::string conf = WriteConfig({{"nvr_manager_mq", root_.QueueKey("mgrq")}});
    std::string go = root_.At("go");
    // The first parent: starts vidula and ends when the test says so.
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 harness::BinDir() + "/vidula -v -c '" + conf +
                                     "' & while [ ! -e '" + go + "' ]; do sleep 0.05; done"});
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA("));
    std::string out = vidula_->Output();
    size_t at = out.find("(VIDULA-");
    int pid = atoi(out.c_str() + at + 8);
    root_.Write("go", "");
    ASSERT_TRUE(harness::WaitUntil([&] {
        char state;
        int ppid = 0;
        return harness::ProcState(pid, &state, &ppid) && ppid == getpid();
    }));
    union sigval value;
    value.sival_int = 1;
    for (int i = 1; i <= 3; i++) {
        sigqueue(pid, SIGUSR1, value);
        ASSERT_TRUE(vidula_->WaitForCount("Receive signal (10) with value (1)", i));
    }
    ASSERT_TRUE(vidula_->WaitForLine("The parent process"));
    sigqueue(pid, SIGUSR1, value);
    ASSERT_TRUE(vidula_->WaitForCount("Receive signal (10) with value (1)", 4));
    // A pass later the flag is served; a shutdown line follows every pass.
    kill(pid, SIGTERM);
    ASSERT_TRUE(vidula_->WaitForLine("Program shut down"));
    EXPECT_EQ(1, vidula_->Count("The parent process"));
    EXPECT_TRUE(harness::WaitUntil([&] { return harness::Ended(pid); }));
    int status;
    waitpid(pid, &status, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

struct Streams {
    int status;
    std::string out, err;
};

// Runs program -c conf with standard output and standard error apart.
Streams RunApart(const harness::TempRoot &root, const std::string &program,
                 const std::string &conf) {
    std::string out = root.At("out.txt"), err = root.At("err.txt");
    harness::RunResult r = harness::Run(
        {"/bin/sh", "-c", program + " -c '" + conf + "' >'" + out + "' 2>'" + err + "'"});
    return {r.status, harness::ReadFile(out), harness::ReadFile(err)};
}

// Start-up failures are said on standard error in the console line form;
// standard output stays as it was. Ports above 65535 are refused.
TEST(VidulaStartupWords, FailuresAreSaidOnStandardError) {
    harness::TempRoot root;
    const struct {
        std::map<std::string, std::string> keys;  // "" as key: no file at all
        std::string error;
    } cases[] = {
        {{{"", ""}},
         "Error: Fail to open config file " + root.At("none.conf") +
             ": No such file or directory\n"},
        {{{"ipcam_type", "zorvan"}}, "Error: Unknown IP camera: zorvan\n"},
        {{{"ipcam_fps", "500"}}, "Error: Invalid IP camera frame rate number: 500\n"},
        {{{"ipcam_port", "90682"}}, "Error: Invalid IP camera port number: 90682\n"},
        {{{"lvs_server_port", "90682"}}, "Error: Invalid Live Video Server port number: 90682\n"},
        {{{"ipcam_address", ""}}, "Error: No valid IP camera address assigned\n"},
    };
    for (const std::string program : {"vidula", "tarsel"}) {
        for (const auto &c : cases) {
            bool noFile = c.keys.count("") != 0;
            // tarsel runs on with missing values (said on standard error too).
            if (c.keys.count("ipcam_address") != 0 && program == "tarsel") continue;
            std::string conf =
                noFile ? root.At("none.conf") : root.Write("v.conf", harness::ConfigText(c.keys));
            Streams s = RunApart(root, harness::BinDir() + "/" + program, conf);
            SCOPED_TRACE(program + " " + c.error);
            std::string name = program == "vidula" ? "(VIDULA-" : "(TARSEL-";
            EXPECT_EQ(0u, s.err.find(name)) << s.err;
            EXPECT_NE(std::string::npos, s.err.find(") " + c.error)) << s.err;
            EXPECT_EQ("", s.out);
            EXPECT_EQ(1, s.status);
        }
    }
}

// A folder and prefix that leave no room for a file name are refused at
// load, not found out at every frame.
TEST(VidulaStartupWords, FolderTooLongForAnyFileNameIsRefused) {
    harness::TempRoot root;
    std::string folder = "/" + std::string(1000, 'f') + "/";
    std::string conf = root.Write("v.conf", harness::ConfigText({{"nvr_record_folder", folder}}));
    Streams s = RunApart(root, harness::BinDir() + "/vidula", conf);
    EXPECT_EQ(1, s.status);
    EXPECT_NE(std::string::npos, s.err.find(") Error: Recording file name is too long for folder "))
        << s.err;
}

}  // namespace
