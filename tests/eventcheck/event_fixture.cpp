// event_fixture.cpp -- the private appliance root and the orlinda runner.
#include "event_fixture.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "flash_layout.h"
#include "flash_test_support.h"
#include "flashcfg_image.h"

namespace eventtest {

const std::vector<std::string> kDaemons = {"nmbd",     "smbd",   "ftpd",
                                           "drovenna", "ushare", "mt-daapd"};

std::string Quoted(const std::string &word) {
    bool plain = !word.empty();
    for (char c : word) {
        if (!isalnum(static_cast<unsigned char>(c)) && strchr("_./:=+,@%^-", c) == nullptr) {
            plain = false;
        }
    }
    if (plain) return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void EventCheckTest::SetUp() {
    // Background children of the run are reparented to the test, so it can
    // wait until all of them have ended.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const char *dir : {"tmp", "dev", "bin", "web/file", "nasext/main/email", "nasext/main/sys",
                            "mnt", "standin"}) {
        Mkdir(dir);
    }
    logQueue = msgget(ftok(root.QueueKey("bin/tovald").c_str(), '1'), 0);
    Write("web/file/nasemailbody.var", "");
    SetRunning(kDaemons);
    Set("EMAIL_ENABLE", "1");
}

void EventCheckTest::TearDown() {
    prctl(PR_SET_CHILD_SUBREAPER, 0);  // made one in SetUp
    key_t key = ftok(root.At("dev/mtd").c_str(), 'a');
    if (key != -1) flashtest::RemoveLock(key);
}

void EventCheckTest::Set(const std::string &name, const std::string &value) {
    settings_[name] = value;
    flashDirty_ = true;
}

void EventCheckTest::WriteFlash() {
    std::string text;
    for (const auto &s : settings_) text += s.first + "=" + s.second + "\n";
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    ASSERT_NE(nullptr, in);
    std::vector<unsigned char> image(FLASH_DEVICE_SIZE);
    std::string error;
    ASSERT_EQ(0, BuildFlashImage(in, "settings", image.data(), &error)) << error;
    fclose(in);
    // Written in place, so the lock key derived from the file stays.
    int fd = open(root.At("dev/mtd").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(image.size()), write(fd, image.data(), image.size()));
    close(fd);
    flashDirty_ = false;
}

void EventCheckTest::WriteDevice(const std::string &bytes) {
    Write("dev/mtd", bytes);
    flashDirty_ = false;
}

std::string EventCheckTest::Write(const std::string &relative, const std::string &content) {
    return root.Write(relative, content);
}

void EventCheckTest::Mkdir(const std::string &relative) {
    std::string full = root.At(relative);
    for (size_t slash = full.find('/', root.path().size() + 1);;
         slash = full.find('/', slash + 1)) {
        mkdir(full.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) break;
    }
}

std::string EventCheckTest::Read(const std::string &relative) const {
    return harness::ReadFile(root.At(relative));
}

bool EventCheckTest::Exists(const std::string &relative) const {
    return harness::FileExists(root.At(relative));
}

void EventCheckTest::Remove(const std::string &relative) { unlink(root.At(relative).c_str()); }

std::string EventCheckTest::Nas(const std::string &path) const { return root.path() + path; }

void EventCheckTest::SetRunning(const std::vector<std::string> &running) {
    std::string listing = "  PID USER       VSZ STAT COMMAND\n";
    int pid = 400;
    for (const std::string &name : running) {
        listing += "  " + std::to_string(pid++) + " root      1200 S    /usr/sbin/" + name + "\n";
    }
    for (const std::string &name : kDaemons) {
        listing += "  " + std::to_string(pid++) + " root      1100 S    grep " + name + "\n";
    }
    SetOutput("ps", listing);
}

void EventCheckTest::SetOutput(const std::string &tool, const std::string &text) {
    Write("standin/" + tool + ".out", text);
}

pid_t EventCheckTest::StartOrlinda() {
    if (flashDirty_) WriteFlash();
    std::string outPath = root.At("orlinda.out");
    std::string path = harness::StandInDir() + ":" + harness::BinDir() + ":" +
                       (getenv("PATH") ? getenv("PATH") : "");
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setenv("PATH", path.c_str(), 1);
        setenv("NAS_ROOT", root.path().c_str(), 1);
        for (const auto &variable : runEnv)
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        execl((harness::BinDir() + "/orlinda").c_str(), "orlinda", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

int EventCheckTest::WaitOrlinda(pid_t pid) {
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void EventCheckTest::ReapAll() {
    // Every process the runs started, background ones included, has ended
    // when no child is left to reap.
    harness::WaitUntil([] {
        int ignored;
        pid_t done;
        while ((done = waitpid(-1, &ignored, WNOHANG)) > 0) {
        }
        return done == -1 && errno == ECHILD;
    });
}

int EventCheckTest::RunOrlinda() {
    Remove("orlinda.out");
    int status = WaitOrlinda(StartOrlinda());
    ReapAll();
    output = harness::ReadFile(root.At("orlinda.out"));
    return status;
}

std::vector<std::string> EventCheckTest::Calls() const {
    // "PID line"; pids grow in start order but wrap at pid_max, so the order
    // starts after the widest gap between the pids seen.
    std::vector<std::pair<long, std::string>> started;
    std::istringstream in(harness::ReadFile(root.At("standin/started.log")));
    std::string line;
    while (std::getline(in, line)) {
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        started.emplace_back(atol(line.c_str()), line.substr(blank + 1));
    }
    std::stable_sort(started.begin(), started.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    size_t first = 0;
    if (started.size() > 1) {
        long pidMax = atol(harness::ReadFile("/proc/sys/kernel/pid_max").c_str());
        if (pidMax <= 0) pidMax = 32768;
        long widest = started.front().first + pidMax - started.back().first;
        for (size_t i = 1; i < started.size(); i++) {
            long gap = started[i].first - started[i - 1].first;
            if (gap > widest) {
                widest = gap;
                first = i;
            }
        }
    }
    std::vector<std::string> calls;
    for (size_t i = 0; i < started.size(); i++) {
        calls.push_back(started[(first + i) % started.size()].second);
    }
    return calls;
}

std::vector<std::string> EventCheckTest::CallsOf(const std::string &name) const {
    std::vector<std::string> calls;
    for (const std::string &call : Calls()) {
        if (call == name || call.compare(0, name.size() + 1, name + " ") == 0)
            calls.push_back(call);
    }
    return calls;
}

void EventCheckTest::ClearCalls() {
    Remove("standin/calls.log");
    Remove("standin/started.log");
}

std::vector<std::string> EventCheckTest::TakeLogRecords() {
    std::vector<std::string> texts;
    struct {
        long type;
        char text[512];
    } message;
    ssize_t n;
    while ((n = msgrcv(logQueue, &message, sizeof(message.text), 0, IPC_NOWAIT)) >= 0) {
        EXPECT_EQ(256, n);
        EXPECT_EQ(1, message.type);
        EXPECT_EQ(0, message.text[0]);
        EXPECT_EQ(0, message.text[1]);
        message.text[255] = '\0';
        texts.push_back(message.text + 2);
    }
    return texts;
}

std::vector<std::string> EventCheckTest::NasLogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Read("nasext/main/var/log/nasLog.log"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string EventCheckTest::Mail(int language, const std::string &subjectKey,
                                 const std::string &body, const std::string &eventPath, int flag,
                                 const std::string &address) {
    std::string line = "kestrin.sh -l " + std::to_string(language) + " -s " +
                       Quoted("$$$" + subjectKey) + " -b " + Quoted(body) + " -p " +
                       Quoted(Nas(eventPath)) + " -var " +
                       Quoted(Nas("/web/file/nasemailbody.var")) + " -flag " + std::to_string(flag);
    if (!address.empty()) line += " -t " + Quoted(address) + " -head 1";
    return line;
}

}  // namespace eventtest
