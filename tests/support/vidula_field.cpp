// vidula_field.cpp -- the field fixture of the recorder's process tests.
#include "vidula_field.h"

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace harness {

namespace fs = std::filesystem;

const char kPlanted[] = "planted by the test; not a frame of this recorder\n";

bool ProcState(int pid, char *state, int *ppid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    rest >> *state >> *ppid;
    return true;
}

bool Ended(int pid) {
    char state;
    int ppid;
    return !ProcState(pid, &state, &ppid) || state == 'Z';
}

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

void VidulaFieldTest::SetUp() {
    BlockManagerWakeups();
    folder_ = root_.At("rec/");
    fs::create_directory(folder_);
    port_ = 1;
}

void VidulaFieldTest::TearDown() {
    prctl(PR_SET_CHILD_SUBREAPER, 0);  // a test may have made itself one
    if (HasFailure() && vidula_) fprintf(stderr, "vidula:\n%s", vidula_->Output().c_str());
    vidula_.reset();
    camera_.reset();
}

void VidulaFieldTest::StartCamera(const std::vector<std::string> &args) {
    std::vector<std::string> options = {"--size", "320x240", "--fps", "25"};
    options.insert(options.end(), args.begin(), args.end());
    RunCamera(options);
    ASSERT_NE(0, port_) << camera_->Output();
}

std::string VidulaFieldTest::WriteConfig(const std::map<std::string, std::string> &keys) {
    std::map<std::string, std::string> all = {{"nvr_record_folder", folder_},
                                              {"nvr_video_name_prefix", "cam"}};
    for (const auto &k : keys) all[k.first] = k.second;
    return WriteVidulaConfig(all);
}

void VidulaFieldTest::StartVidula(const std::map<std::string, std::string> &keys, bool waitTarsel,
                                  const std::string &program,
                                  std::map<std::string, std::string> env) {
    std::string conf = WriteConfig(keys);
    std::string exe = program.empty() ? BinDir() + "/vidula" : program;
    env["TZ"] = "UTC";
    vidula_ = std::make_unique<Process>(std::vector<std::string>{exe, "-c", conf}, env);
    if (waitTarsel) {
        ASSERT_TRUE(vidula_->WaitForLine("Execute TARSEL as pid (")) << vidula_->Output();
    }
}

int VidulaFieldTest::TarselPid() {
    std::string out = vidula_->Output();
    size_t at = out.rfind("Execute TARSEL as pid (");
    return at == std::string::npos ? -1 : atoi(out.c_str() + at + 23);
}

std::string VidulaFieldTest::CopyVidula() {
    fs::create_directory(root_.At("bin"));
    std::string copy = root_.At("bin/vidula");
    fs::copy_file(BinDir() + "/vidula", copy);
    return copy;
}

std::string VidulaFieldTest::Plant(const std::string &relative) {
    fs::create_directories(fs::path(folder_ + relative).parent_path());
    std::ofstream(folder_ + relative) << kPlanted;
    return relative;
}

std::set<std::string> VidulaFieldTest::Files() {
    std::set<std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(folder_)) {
        if (e.is_regular_file()) files.insert(e.path().string().substr(folder_.size()));
    }
    return files;
}

}  // namespace harness
