// harness.cpp -- processes, folders and queues for the process-level tests.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "bytes.h"

namespace harness {

std::string BinDir() { return NAS_TEST_BIN_DIR; }
std::string StandInDir() { return NAS_TEST_STANDIN_DIR; }

std::string ProgramUsage(const std::string &name) {
    return name + " version: 1.2.7\n" + "Usage: " + name + " [options]\n" +
           "Options:\n"
           "  -c\t<config_filename>\n"
           "  -h\tThis help message\n"
           "  -v\tVerbose mode (For debug only. Performace may be bad...)\n" +
           "Terminate " + name + ": kill -TERM pid_of_" + name + "\n";
}

bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds wait) {
    auto end = Clock::now() + wait;
    for (;;) {
        if (cond()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void BlockManagerWakeups() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

int ClaimQueueKey(const std::string &path) {
    for (int attempt = 0; attempt < 64; attempt++) {
        if (!FileExists(path)) std::ofstream(path).put('\n');
        key_t key = ftok(path.c_str(), 0x31);
        if (key == -1) return -1;
        int id = msgget(key, IPC_CREAT | IPC_EXCL | 0660);
        if (id >= 0) return id;
        if (errno != EEXIST) return -1;
        // Another test's queue (or one left by a killed run) has this key.
        // The file moves aside and keeps its inode, so the next one made at
        // path gets another inode and another key.
        rename(path.c_str(), (path + ".taken" + std::to_string(attempt)).c_str());
    }
    return -1;
}

std::string TempRoot::QueueKey(const std::string &relative) {
    std::string path = At(relative);
    int id = ClaimQueueKey(path);
    if (id >= 0) queues_.push_back(id);
    return path;
}

TempRoot::TempRoot() {
    char pattern[] = "/tmp/nastest.XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (dir == nullptr) abort();
    path_ = dir;
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

TempRoot::~TempRoot() {
    for (int id : queues_) msgctl(id, IPC_RMID, nullptr);
    if (getenv("NAS_KEEP_TEST_ROOT") == nullptr)
        nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempRoot::At(const std::string &relative) const { return path_ + "/" + relative; }

std::string TempRoot::Write(const std::string &relative, const std::string &content) const {
    std::string full = At(relative);
    for (size_t slash = full.find('/', path_.size() + 1); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        mkdir(full.substr(0, slash).c_str(), 0755);
    }
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

Process::Process(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    std::string path = StandInDir() + ":" + BinDir() + ":" + (getenv("PATH") ? getenv("PATH") : "");
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setenv("PATH", path.c_str(), 1);
        for (const auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    outFd_ = fds[0];
    fcntl(outFd_, F_SETFL, fcntl(outFd_, F_GETFL) | O_NONBLOCK);
}

Process::~Process() {
    if (!exited_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    } else if (pid_ > 0) {
        kill(-pid_, SIGKILL);  // children left behind (tarsel)
    }
    if (outFd_ >= 0) close(outFd_);
}

void Process::Pump(int timeoutMs) {
    struct pollfd p = {outFd_, POLLIN, 0};
    if (outFd_ < 0 || poll(&p, 1, timeoutMs) <= 0) return;
    char buf[65536];
    for (;;) {
        ssize_t n = read(outFd_, buf, sizeof(buf));
        if (n > 0) {
            output_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            close(outFd_);
            outFd_ = -1;
        }
        return;
    }
}

std::string Process::Output() {
    Pump(0);
    return output_;
}

int Process::Count(const std::string &text) {
    Pump(0);
    int count = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) {
        count++;
    }
    return count;
}

bool Process::WaitForCount(const std::string &text, int count, std::chrono::milliseconds wait) {
    auto end = Clock::now() + wait;
    for (;;) {
        if (Count(text) >= count) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return false;
        if (outFd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            Pump(static_cast<int>(std::min<long>(left.count(), 50)));
        }
    }
}

bool Process::WaitForLine(const std::string &text, std::chrono::milliseconds wait) {
    return WaitForCount(text, 1, wait);
}

bool Process::Running() {
    if (exited_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int Process::WaitExit(std::chrono::milliseconds wait) {
    bool ended = WaitUntil(
        [&] {
            Pump(0);
            return !Running();
        },
        wait);
    // Collect what is left in the pipe (a grandchild may still hold it open).
    for (int i = 0; i < 20 && outFd_ >= 0; i++) Pump(10);
    return ended ? status_ : -1;
}

void Process::Signal(int sig) { kill(pid_, sig); }

RunResult Run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env) {
    Process p(argv, env);
    int status = p.WaitExit();
    return {status, p.Output()};
}

QueueReader::QueueReader(const std::string &keyPath) { id_ = ClaimQueueKey(keyPath); }

QueueReader::~QueueReader() {
    if (id_ >= 0) msgctl(id_, IPC_RMID, nullptr);
}

bool QueueReader::NextLog(int *code, std::string *text, std::chrono::milliseconds wait) {
    LogRecord record;
    bool got = WaitUntil(
        [&] { return msgrcv(id_, &record, LOG_RECORD_SIZE, LOG_RECORD_TYPE, IPC_NOWAIT) >= 0; },
        wait);
    if (!got) return false;
    *code = GetLe16(record.body);
    text->assign(reinterpret_cast<const char *>(record.body + 2),
                 strnlen(reinterpret_cast<const char *>(record.body + 2), LOG_RECORD_TEXT_SIZE));
    return true;
}

bool QueueReader::NextManager(int *code, int *pid, std::string *text,
                              std::chrono::milliseconds wait) {
    ManagerRecord record;
    bool got = WaitUntil(
        [&] {
            return msgrcv(id_, &record, MANAGER_RECORD_SIZE, MANAGER_RECORD_TYPE, IPC_NOWAIT) >= 0;
        },
        wait);
    if (!got) return false;
    *pid = static_cast<int>(GetLe32(record.body));
    *code = GetLe16(record.body + 4);
    text->assign(
        reinterpret_cast<const char *>(record.body + 6),
        strnlen(reinterpret_cast<const char *>(record.body + 6), MANAGER_RECORD_TEXT_SIZE));
    return true;
}

int QueueReader::Pending() {
    struct msqid_ds info;
    if (msgctl(id_, IPC_STAT, &info) != 0) return -1;
    return static_cast<int>(info.msg_qnum);
}

std::vector<std::string> QueueReader::PendingLogTexts() {
    std::vector<std::string> texts;
    int code;
    std::string text;
    while (Pending() > 0 && NextLog(&code, &text)) texts.push_back(text);
    return texts;
}

std::unique_ptr<Process> StartCameraStandIn(const std::vector<std::string> &options, int *port) {
    std::vector<std::string> argv = {BinDir() + "/ipcam_standin", "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    auto camera = std::make_unique<Process>(argv);
    *port = 0;
    if (camera->WaitForLine("listening on 127.0.0.1:")) {
        std::string out = camera->Output();
        *port = atoi(out.c_str() + out.find("127.0.0.1:") + 10);
    }
    return camera;
}

void VidulaRig::RunCamera(const std::vector<std::string> &options) {
    camera_ = StartCameraStandIn(options, &port_);
}

std::string VidulaRig::WriteVidulaConfig(const std::map<std::string, std::string> &keys) {
    std::map<std::string, std::string> all = {{"ipcam_port", std::to_string(port_)},
                                              {"nvr_log_console", "yes"}};
    for (const auto &k : keys) all[k.first] = k.second;
    return root_.Write("vidula.conf", ConfigText(all));
}

void VidulaRig::RunVidula(const std::map<std::string, std::string> &keys,
                          const std::vector<std::string> &options,
                          const std::map<std::string, std::string> &env) {
    std::vector<std::string> argv = {BinDir() + "/vidula"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-c");
    argv.push_back(WriteVidulaConfig(keys));
    vidula_ = std::make_unique<Process>(argv, env);
}

std::string ConfigText(const std::map<std::string, std::string> &overrides) {
    std::vector<std::pair<std::string, std::string>> keys = {
        {"ipcam_type", "IPCAM_OTHER"},
        {"ipcam_address", "127.0.0.1"},
        {"ipcam_port", "1"},
        {"ipcam_video_width", "320"},
        {"ipcam_video_height", "240"},
        {"ipcam_fps", "10"},
        {"ipcam_http_command", "/mjpg/video.mjpg"},
        {"nvr_record_folder", "/tmp/rec/"},
        {"nvr_max_storage_space", "1000000000"},
    };
    std::map<std::string, std::string> rest = overrides;
    std::string text;
    for (auto &k : keys) {
        auto it = rest.find(k.first);
        std::string value = it != rest.end() ? it->second : k.second;
        if (it != rest.end()) rest.erase(it);
        if (!value.empty()) text += k.first + "\t" + value + "\n";
    }
    for (auto &k : rest) {
        if (!k.second.empty()) text += k.first + "\t" + k.second + "\n";
    }
    return text;
}

SilentPort::SilentPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
    listen(fd_, 16);
    socklen_t len = sizeof(addr);
    getsockname(fd_, reinterpret_cast<struct sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

SilentPort::~SilentPort() {
    if (fd_ >= 0) close(fd_);
}

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int ConnectLoopback(int port, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<ProcEntry> ProcessTable() {
    std::vector<ProcEntry> table;
    DIR *d = opendir("/proc");
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        int pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
        std::string stat;
        std::getline(in, stat);
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        ProcEntry entry{pid, 0, '?', stat.substr(open + 1, close - open - 1)};
        if (sscanf(stat.c_str() + close + 1, " %c %d", &entry.state, &entry.ppid) == 2)
            table.push_back(entry);
    }
    if (d) closedir(d);
    return table;
}

}  // namespace harness
