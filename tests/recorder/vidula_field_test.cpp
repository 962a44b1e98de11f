// Process tests of faults met in the field: recordings never overwritten,
// tarsel always reaped and never orphaned, descriptors closed on exec, the
// parent signalled only while it is ours, and clear words at start-up.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "avi_test_support.h"
#include "harness.h"

namespace {

using harness::Process;
namespace fs = std::filesystem;

const char kPlanted[] = "planted by the test; not a frame of this recorder\n";

// Fields of /proc/PID/stat: state and parent pid; false when pid is gone.
bool ProcState(int pid, char *state, int *ppid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    rest >> *state >> *ppid;
    return true;
}

// A process that is gone or only a zombie waiting for its parent.
bool Ended(int pid) {
    char state;
    int ppid;
    return !ProcState(pid, &state, &ppid) || state == 'Z';
}

// Children of pid that have ended but were not reaped.
int Zombies(int pid) {
    int count = 0;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        char state;
        int ppid;
        if (ProcState(atoi(name.c_str()), &state, &ppid) && ppid == pid && state == 'Z') count++;
    }
    return count;
}

// The open descriptors of pid above standard error, and what they point at.
std::map<int, std::string> Descriptors(int pid) {
    std::map<int, std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto &e : fs::directory_iterator(dir, error)) {
        int fd = atoi(e.path().filename().c_str());
        if (fd <= 2) continue;
        char target[256] = {0};
        ssize_t n = readlink(e.path().c_str(), target, sizeof(target) - 1);
        fds[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
    }
    return fds;
}

// The flags line of /proc/PID/fdinfo/FD as a number (octal in the file).
long DescriptorFlags(int pid, int fd) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string word;
    while (in >> word) {
        if (word == "flags:") {
            in >> word;
            return strtol(word.c_str(), nullptr, 8);
        }
    }
    return -1;
}

// The in-progress name of a recording of prefix "cam" started at t (UTC).
std::string InProgressName(time_t t) {
    struct tm tm;
    gmtime_r(&t, &tm);
    char name[128];
    snprintf(name, sizeof(name), "%04d/%02d/%02d/cam%04d-%02d-%02d#%02d-%02d-%02d_.avi",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return name;
}

std::string FinalName(const std::string &inProgress, time_t end) {
    struct tm tm;
    gmtime_r(&end, &tm);
    char tail[64];
    snprintf(tail, sizeof(tail), "%04d-%02d-%02d#%02d-%02d-%02d.avi", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return inProgress.substr(0, inProgress.size() - 4) + tail;
}

class VidulaField : public ::testing::Test {
  protected:
    void SetUp() override {
        harness::BlockManagerWakeups();
        folder_ = root_.At("rec/");
        fs::create_directory(folder_);
    }
    void TearDown() override {
        prctl(PR_SET_CHILD_SUBREAPER, 0);  // a test may have made itself one
        if (HasFailure() && vidula_) fprintf(stderr, "vidula:\n%s", vidula_->Output().c_str());
        vidula_.reset();
        camera_.reset();
    }

    void StartCamera(const std::vector<std::string> &args = {}) {
        std::vector<std::string> options = {"--size", "320x240", "--fps", "25"};
        options.insert(options.end(), args.begin(), args.end());
        camera_ = harness::StartCameraStandIn(options, &port_);
        ASSERT_NE(0, port_) << camera_->Output();
    }

    std::string WriteConfig(const std::map<std::string, std::string> &keys = {}) {
        std::map<std::string, std::string> all = {
            {"ipcam_port", std::to_string(port_)},
            {"nvr_record_folder", folder_},
            {"nvr_video_name_prefix", "cam"},
            {"nvr_log_console", "yes"},
        };
        for (const auto &k : keys) all[k.first] = k.second;
        return root_.Write("vidula.conf", harness::ConfigText(all));
    }

    // Starts program (vidula or a copy of it) with the configuration; waits
    // for tarsel unless told not to.
    void StartVidula(const std::map<std::string, std::string> &keys = {}, bool waitTarsel = true,
                     const std::string &program = "", std::map<std::string, std::string> env = {}) {
        std::string conf = WriteConfig(keys);
        std::string exe = program.empty() ? harness::BinDir() + "/vidula" : program;
        env["TZ"] = "UTC";
        vidula_ = std::make_unique<Process>(std::vector<std::string>{exe, "-c", conf}, env);
        if (waitTarsel) {
            ASSERT_TRUE(vidula_->WaitForLine("Execute TARSEL as pid (")) << vidula_->Output();
        }
    }

    // The pid of the tarsel named in the newest "Execute TARSEL" line.
    int TarselPid() {
        std::string out = vidula_->Output();
        size_t at = out.rfind("Execute TARSEL as pid (");
        return at == std::string::npos ? -1 : atoi(out.c_str() + at + 23);
    }

    // A copy of vidula in a folder of the test's, so that the tarsel beside
    // it is the test's choice.
    std::string CopyVidula() {
        fs::create_directory(root_.At("bin"));
        std::string copy = root_.At("bin/vidula");
        fs::copy_file(harness::BinDir() + "/vidula", copy);
        return copy;
    }

    std::string Plant(const std::string &relative) {
        fs::create_directories(fs::path(folder_ + relative).parent_path());
        std::ofstream(folder_ + relative) << kPlanted;
        return relative;
    }

    std::set<std::string> Files() {
        std::set<std::string> files;
        for (const auto &e : fs::recursive_directory_iterator(folder_)) {
            if (e.is_regular_file()) files.insert(e.path().string().substr(folder_.size()));
        }
        return files;
    }

    harness::TempRoot root_;
    std::string folder_;
    int port_ = 1;
    std::unique_ptr<Process> camera_, vidula_;
};

// A recorder started in the same second as a predecessor's file, and a
// finished name that exists already: neither file is touched, and the new
// recording keeps its frames under a name of its own.
TEST_F(VidulaField, RecordingsAreNeverOverwritten) {
    StartCamera();
    time_t now = time(nullptr);
    std::set<std::string> planted;
    for (int i = -1; i < 4; i++) planted.insert(Plant(InProgressName(now + i)));
    StartVidula();
    std::string mine;
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (!planted.count(f)) mine = f;
        }
        return !mine.empty();
    })) << vidula_->Output();
    ASSERT_EQ("_.avi", mine.substr(mine.size() - 5));
    time_t end = time(nullptr);
    for (int i = 0; i < 4; i++) planted.insert(Plant(FinalName(mine, end + i)));
    ASSERT_TRUE(harness::WaitUntil([&] { return fs::file_size(folder_ + mine) > 20000; }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    for (const std::string &f : planted) EXPECT_EQ(kPlanted, harness::ReadFile(folder_ + f)) << f;
    std::vector<std::string> recorded;
    for (const std::string &f : Files()) {
        if (!planted.count(f)) recorded.push_back(f);
    }
    ASSERT_EQ(1u, recorded.size());
    EXPECT_EQ(mine.substr(0, mine.size() - 4), recorded[0].substr(0, mine.size() - 4));
    avitest::Probe p = avitest::ProbeAvi(folder_ + recorded[0]);
    EXPECT_EQ(0, p.status) << p.other;
    EXPECT_NE("0", p.packets);
}

// tarsel that ends at once, again and again: every end is reaped, logged
// with its status and followed by a new start.
TEST_F(VidulaField, EveryEndedTarselIsReapedAndRestarted) {
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
    ASSERT_TRUE(harness::WaitUntil([&] { return Zombies(vidula_->pid()) == 0; }));
    EXPECT_EQ(5, vidula_->Count(") exit status is (3)"));
    EXPECT_FALSE(Ended(TarselPid()));
    EXPECT_TRUE(vidula_->Running());
}

// No tarsel beside vidula: the start fails and vidula ends at once.
TEST_F(VidulaField, TarselThatCannotRunIsAFailedStart) {
    std::string vidula = CopyVidula();
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula({}, false, vidula);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_NE(std::string::npos, vidula_->Output().find("Fail to execute TARSEL"));
    EXPECT_EQ(std::string::npos, vidula_->Output().find("Execute TARSEL as pid ("));
}

// tarsel can no longer be run when it must be restarted: one retry after
// 10 seconds, then vidula shuts down.
TEST_F(VidulaField, TarselThatCannotBeRestartedEndsVidula) {
    std::string vidula = CopyVidula();
    root_.Write("bin/tarsel", "#!/bin/sh\nexec sleep 600\n");
    chmod(root_.At("bin/tarsel").c_str(), 0755);
    harness::SilentPort camera;
    port_ = camera.port();
    StartVidula({}, true, vidula);
    int tarsel = TarselPid();
    fs::remove(root_.At("bin/tarsel"));
    kill(tarsel, SIGKILL);
    EXPECT_EQ(1, vidula_->WaitExit(std::chrono::seconds(30)));
    EXPECT_EQ(2, vidula_->Count("Error: Fail to execute TARSEL"));
    EXPECT_NE(std::string::npos, vidula_->Output().find(") Program shut down"));
}

// tarsel goes away with vidula, whichever way vidula ends.
TEST_F(VidulaField, TarselEndsWithItsParent) {
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

TEST_F(VidulaField, FatalReloadShutsDownTarselToo) {
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

// Every descriptor of vidula is closed on exec: a restarted tarsel holds
// none of the camera's or the viewers' sockets.
TEST_F(VidulaField, DescriptorsAreClosedOnExec) {
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
        for (const auto &fd : Descriptors(vidula_->pid())) {
            if (fd.second.find("socket:") == 0 || fd.second.find(root_.path()) == 0) {
                fds.insert(fd);
            }
        }
        return fds.size() >= 4u;
    }));
    for (const auto &fd : fds) {
        EXPECT_NE(0, DescriptorFlags(vidula_->pid(), fd.first) & O_CLOEXEC)
            << fd.first << " " << fd.second;
    }
    int old = TarselPid();
    kill(old, SIGKILL);
    ASSERT_TRUE(vidula_->WaitForCount("Execute TARSEL as pid (", 2));
    int tarsel = TarselPid();
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA(" + std::to_string(vidula_->pid())));
    for (const auto &fd : Descriptors(tarsel)) {
        EXPECT_EQ(std::string::npos, fd.second.find("socket:")) << fd.first << " " << fd.second;
    }
    close(viewer);
}

// The parent vidula was started by has gone: no signal goes to whatever now
// holds its pid; the record stays on the queue and it is said once.
TEST_F(VidulaField, ParentIsSignalledOnlyWhileItIsTheParent) {
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
        return ProcState(pid, &state, &ppid) && ppid == getpid();
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
    EXPECT_TRUE(harness::WaitUntil([&] { return Ended(pid); }));
    int status;
    waitpid(pid, &status, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace

namespace {

// A recording folder given without its final "/": vidula records inside it
// and tarsel measures and deletes inside it, not in a sibling tree.
TEST_F(VidulaField, RecordFolderWithoutSlashIsOneTree) {
    std::string old = "2020/01/01/cam2020-01-01#00-00-00_2020-01-01#00-10-00.avi";
    fs::create_directories(fs::path(folder_ + old).parent_path());
    std::ofstream(folder_ + old) << std::string(400000, 'o');
    StartCamera();
    std::string bare = folder_.substr(0, folder_.size() - 1);
    StartVidula({{"nvr_record_folder", bare}, {"nvr_max_storage_space", "300000"}});
    EXPECT_TRUE(harness::WaitUntil([&] { return !harness::FileExists(folder_ + old); }))
        << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (f.find("/cam") != std::string::npos && f.find("2020/") != 0) return true;
        }
        return false;
    }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    for (const auto &e : fs::directory_iterator(root_.path())) {
        std::string name = e.path().filename().string();
        EXPECT_FALSE(name.size() > 3 && name.compare(0, 3, "rec") == 0) << name;
    }
}

// A volume that takes no more frames in mid-file: one error line per file,
// the frames dropped counted, and a file left without any frame is removed.
TEST_F(VidulaField, FullDiskInMidFileIsReportedOnceAndEmptyFilesGo) {
    StartCamera({"--pad-to", "20000"});
    std::string conf = WriteConfig();
    // dash counts ulimit -f in 512-byte blocks: room for the header and a
    // few hundred empty frames, never for a 20000-byte frame.
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "trap '' XFSZ; ulimit -f 16; exec " + harness::BinDir() +
                                     "/vidula -v -c '" + conf + "'"},
        std::map<std::string, std::string>{{"TZ", "UTC"}});
    ASSERT_TRUE(vidula_->WaitForLine("Start to record AVI file: "));
    ASSERT_TRUE(vidula_->WaitForCount("Frame size [", 60));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_EQ(1, vidula_->Count("Fail to write frame"));
    EXPECT_EQ(1, vidula_->Count(" frames could not be written to "));
    EXPECT_EQ(1, vidula_->Count("holds no frame; removed"));
    for (const std::string &f : Files()) ADD_FAILURE() << "left: " << f;
}

// The recording folder is missing: the start is tried again every few
// seconds, not at every frame, and the failure is reported once.
TEST_F(VidulaField, MissingFolderDoesNotFloodStorageChecks) {
    StartCamera();
    folder_ = root_.At("missing/");
    std::string conf = WriteConfig();
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{harness::BinDir() + "/vidula", "-v", "-c", conf});
    ASSERT_TRUE(vidula_->WaitForCount("Frame size [", 100));
    EXPECT_LE(vidula_->Count("Send signal 10 to pid"), 2);
    EXPECT_EQ(1, vidula_->Count("Fail to access recording root folder"));
    EXPECT_EQ(1, vidula_->Count("Fail to generate AVI file name"));
}

}  // namespace

namespace {

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

}  // namespace

namespace {

// The wall clock jumps 240 seconds ahead while recording: the file is
// finished without padding, and the next one is named after the new time.
TEST_F(VidulaField, ClockStepStartsANewFileInsteadOfPadding) {
    StartCamera();
    std::string shift = root_.Write("shift", "0");
    std::string conf = WriteConfig();
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{harness::BinDir() + "/vidula", "-c", conf},
        std::map<std::string, std::string>{{"TZ", "UTC"},
                                           {"LD_PRELOAD", harness::BinDir() + "/libclock_shift.so"},
                                           {"NAS_CLOCK_SHIFT_FILE", shift},
                                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    auto inProgress = [&] {
        std::vector<std::string> files;
        for (const std::string &f : Files()) {
            if (f.size() > 5 && f.compare(f.size() - 5, 5, "_.avi") == 0) files.push_back(f);
        }
        return files;
    };
    std::string first;
    ASSERT_TRUE(harness::WaitUntil([&] {
        std::vector<std::string> files = inProgress();
        if (files.size() != 1 || fs::file_size(folder_ + files[0]) < 60000) return false;
        first = files[0];
        return true;
    })) << vidula_->Output();
    root_.Write("shift", "240");
    ASSERT_TRUE(vidula_->WaitForLine("System time changed by 240 seconds"));
    std::string second;
    ASSERT_TRUE(harness::WaitUntil([&] {
        std::vector<std::string> files = inProgress();
        if (files.size() != 1 || files[0] == first || fs::file_size(folder_ + files[0]) < 60000) {
            return false;
        }
        second = files[0];
        return true;
    }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    std::set<std::string> files = Files();
    ASSERT_EQ(2u, files.size());
    for (const std::string &f : files) {
        int chunks = 0, withData = 0;
        EXPECT_TRUE(avitest::CountChunks(harness::ReadFile(folder_ + f), &chunks, &withData)) << f;
        EXPECT_GT(withData, 3) << f;
        EXPECT_LT(chunks - withData, 25) << f << ": empty frames";
    }
    // The second file's start is the first one's plus the step, or later.
    auto start = [](const std::string &name) {
        struct tm tm = {};
        strptime(name.substr(name.find("cam") + 3, 19).c_str(), "%Y-%m-%d#%H-%M-%S", &tm);
        return timegm(&tm);
    };
    EXPECT_GE(start(second) - start(first), 240);
}

}  // namespace

namespace {

// Frames larger than the buffers and pictures of another size than the
// configured one are said without -v, once per connection.
TEST_F(VidulaField, OversizeFramesAreSaidOnce) {
    StartCamera({"--size", "640x480", "--pad-to", "100000"});
    StartVidula({{"ipcam_video_width", "160"}, {"ipcam_video_height", "120"}});
    ASSERT_TRUE(vidula_->WaitForLine(
        "The camera sends frames of 100000 bytes, larger than the frame buffer (57600 bytes)"))
        << vidula_->Output();
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_EQ(1, vidula_->Count("The camera sends frames of"));
}

TEST_F(VidulaField, PictureSizeOtherThanConfiguredIsSaidOnce) {
    StartCamera({"--size", "320x240"});
    StartVidula({{"ipcam_video_width", "640"}, {"ipcam_video_height", "480"}});
    ASSERT_TRUE(
        vidula_->WaitForLine("The camera's picture is 320x240 but the recordings are made "
                             "for 640x480: set ipcam_video_width and ipcam_video_height"))
        << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (fs::file_size(folder_ + f) > 50000) return true;
        }
        return false;
    }));
    EXPECT_EQ(1, vidula_->Count("The camera's picture is"));
}

}  // namespace

namespace {

// Reads what a viewer got; false when the connection ended (EOF or error).
bool Drain(int fd, std::string *got) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            if (got != nullptr && got->size() < 4096) got->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

int Viewer(int port, int receiveBuffer = 0) {
    int fd = harness::ConnectLoopback(port, receiveBuffer);
    if (fd < 0) return -1;
    const char request[] = "GET /mjpg/video.mjpg HTTP/1.0\r\n\r\n";
    send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL);
    return fd;
}

// Out of descriptors: accepting pauses (said once) and goes on when one is
// free again.
TEST_F(VidulaField, OutOfDescriptorsPausesAccepting) {
    harness::SilentPort camera;
    port_ = camera.port();
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)}});
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    ASSERT_TRUE(vidula_->WaitForLine("Executed by VIDULA("));
    std::map<int, std::string> fds = Descriptors(vidula_->pid());
    int lowestFree = 3;
    while (fds.count(lowestFree)) lowestFree++;
    struct rlimit old;
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, nullptr, &old));
    struct rlimit tight = {static_cast<rlim_t>(lowestFree), old.rlim_max};
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, &tight, nullptr));
    int viewer = Viewer(live);
    ASSERT_NE(-1, viewer);
    ASSERT_TRUE(vidula_->WaitForLine("accepting is paused until a descriptor is free"));
    ASSERT_EQ(0, prlimit(vidula_->pid(), RLIMIT_NOFILE, &old, nullptr));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server accepts connections again."));
    ASSERT_TRUE(vidula_->WaitForLine("Accept a live video client("));
    EXPECT_EQ(1, vidula_->Count("Fail to accept live video client connection request"));
    close(viewer);
}

// Five viewers that stop reading for good give their places up after the
// stall time (30 seconds; 2 here through the environment); the next viewer
// is then served.
TEST_F(VidulaField, ViewersThatTakeNothingGiveTheirPlaceUp) {
    StartCamera({"--size", "640x480", "--pad-to", "150000"});
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)},
                 {"ipcam_video_width", "640"},
                 {"ipcam_video_height", "480"}},
                true, "", {{"VIDULA_LV_STALL_SECONDS", "2"}});
    ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected"));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    std::vector<int> sleepers;
    for (int i = 0; i < 5; i++) sleepers.push_back(Viewer(live, 4096));
    ASSERT_TRUE(vidula_->WaitForCount("Accept a live video client(", 5));
    ASSERT_TRUE(
        vidula_->WaitForCount("took nothing for 2 seconds; closed", 5, std::chrono::seconds(60)));
    int fresh = Viewer(live);
    std::string got;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(fresh, &got);
        return got.find("\r\n\r\n") != std::string::npos;
    }));
    EXPECT_EQ(0u, got.find("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(std::string::npos, vidula_->Output().find("connection pool is full"));
    for (int fd : sleepers) close(fd);
    close(fresh);
}

// The camera comes back with another boundary: the viewer of the old stream
// is ended; a new viewer's header names the new boundary.
TEST_F(VidulaField, BoundaryChangeEndsViewersOfTheOldStream) {
    StartCamera({"--boundary", "oldstream"});
    int live = harness::FreeLoopbackPort();
    StartVidula({{"lvs_server_port", std::to_string(live)}});
    ASSERT_TRUE(vidula_->WaitForLine("IP camera is connected"));
    ASSERT_TRUE(vidula_->WaitForLine("Live video server is started successfully."));
    int viewer = Viewer(live);
    std::string got;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(viewer, &got);
        return got.find("--oldstream") != std::string::npos;
    }));
    EXPECT_NE(std::string::npos, got.find("boundary=oldstream\r\n"));
    camera_.reset();
    camera_ = std::make_unique<Process>(std::vector<std::string>{
        harness::BinDir() + "/ipcam_standin", "--port", std::to_string(port_), "--size", "320x240",
        "--fps", "25", "--boundary", "newstream"});
    ASSERT_TRUE(camera_->WaitForLine("listening on 127.0.0.1:"));
    ASSERT_TRUE(vidula_->WaitForCount("IP camera is connected", 2, std::chrono::seconds(30)));
    EXPECT_TRUE(harness::WaitUntil([&] { return !Drain(viewer, nullptr); }));
    int fresh = Viewer(live);
    std::string header;
    ASSERT_TRUE(harness::WaitUntil([&] {
        Drain(fresh, &header);
        return header.find("--newstream") != std::string::npos;
    })) << "fresh viewer got: "
        << header.substr(0, 300);
    EXPECT_NE(std::string::npos, header.find("boundary=newstream\r\n"));
    close(viewer);
    close(fresh);
}

}  // namespace

namespace {

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
