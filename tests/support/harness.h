// harness.h -- helpers for tests that drive the real programs.
//
// TempRoot makes a private folder (the test's NAS_ROOT). Process starts a
// program with its output captured and waits for lines, exits and files
// without fixed sleeps. QueueReader reads the records a program queued.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "logging.h"

namespace harness {

using Clock = std::chrono::steady_clock;
const std::chrono::milliseconds kDefaultWait{20000};

// The folder that holds the built programs (build/bin).
std::string BinDir();
// tools/standins: the stand-ins of the appliance's outside shell tools (df,
// ifconfig, mount, ps, ...; see tools/standins/standin), put first on the PATH
// of every child a Process starts.
std::string StandInDir();

// The usage text vidula and tarsel print, with the program's name (VIDULA,
// TARSEL) and version.
std::string ProgramUsage(const std::string &name);

// Polls cond every few milliseconds until it holds or wait runs out.
bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds wait = kDefaultWait);

// Creates the key file path (any content) so that its System V key, as
// vidula and tarsel derive it, names a queue no other test uses: the queue is
// created exclusively, and the file made again (a new inode, so a new key)
// while the key is taken. Keys are derived from the low bits of the inode,
// so files of tests running side by side can share one. Returns the queue id,
// -1 on failure.
int ClaimQueueKey(const std::string &path);

// Blocks SIGUSR1 in the test process for good: a vidula started by the test
// wakes its parent (the NVR manager's place) with it; tests take it with
// sigtimedwait where they look at it.
void BlockManagerWakeups();

// One process of /proc: its id, parent, state letter and command name.
struct ProcEntry {
    int pid;
    int ppid;
    char state;
    std::string comm;
};
// Every process /proc lists now.
std::vector<ProcEntry> ProcessTable();

// A private temporary folder, removed with its content at the end.
class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    // A queue key file in the folder with a queue of its own (ClaimQueueKey);
    // the queue is removed with the folder. Returns the file's full path.
    std::string QueueKey(const std::string &relative);
    const std::string &path() const { return path_; }
    // path() + "/" + relative
    std::string At(const std::string &relative) const;
    // Writes a file (parent folders made); returns its full path.
    std::string Write(const std::string &relative, const std::string &content) const;

  private:
    std::string path_;
    std::vector<int> queues_;
};

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);

// A running program with standard output and standard error captured.
class Process {
  public:
    // env entries are added to (or replace) the test's environment.
    Process(const std::vector<std::string> &argv,
            const std::map<std::string, std::string> &env = {});
    ~Process();  // SIGKILLs the process group if still running

    pid_t pid() const { return pid_; }
    // Everything captured so far.
    std::string Output();
    // Waits for a line containing text (after skipping the first `after`
    // occurrences); returns false on time-out.
    bool WaitForLine(const std::string &text, std::chrono::milliseconds wait = kDefaultWait);
    bool WaitForCount(const std::string &text, int count,
                      std::chrono::milliseconds wait = kDefaultWait);
    int Count(const std::string &text);
    // Waits for the exit; returns the exit status, 128+signal, or -1 on time-out.
    int WaitExit(std::chrono::milliseconds wait = kDefaultWait);
    bool Running();
    void Signal(int sig);

  private:
    void Pump(int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::string output_;
};

// Runs a program to its end and returns its exit status and output.
struct RunResult {
    int status;
    std::string output;
};
RunResult Run(const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env = {});

// The System V queue keyed from a path as vidula and tarsel key it.
class QueueReader {
  public:
    explicit QueueReader(const std::string &keyPath);
    ~QueueReader();  // removes the queue
    int id() const { return id_; }
    // Waits for the next record; false on time-out.
    bool NextLog(int *code, std::string *text, std::chrono::milliseconds wait = kDefaultWait);
    bool NextManager(int *code, int *pid, std::string *text,
                     std::chrono::milliseconds wait = kDefaultWait);
    // Records waiting now.
    int Pending();
    // The texts of the log records waiting now, read off the queue.
    std::vector<std::string> PendingLogTexts();

  private:
    int id_ = -1;
};

// A configuration file with the mandatory keys and the given overrides
// (an empty value removes the key). Keys are written in a stable order.
std::string ConfigText(const std::map<std::string, std::string> &overrides);

// Starts the camera stand-in (ipcam_standin) on a free port with the given
// options and waits until it listens. *port receives its port, 0 when it did
// not start (the test then fails at the caller's ASSERT on it).
std::unique_ptr<Process> StartCameraStandIn(const std::vector<std::string> &options, int *port);

// The rig of the process tests: a temporary root, the camera stand-in, a
// configuration that points vidula at it, and vidula. A fixture derives from
// it and adds its own defaults; members are destroyed vidula first, the root
// last.
class VidulaRig {
  public:
    // Starts the camera stand-in with options (StartCameraStandIn); port_ is
    // 0 when it did not start.
    void RunCamera(const std::vector<std::string> &options);
    // Writes root_/vidula.conf (ConfigText) with ipcam_port the camera's port
    // and console logging on, then keys over them. Returns its path.
    std::string WriteVidulaConfig(const std::map<std::string, std::string> &keys);
    // Starts vidula with options, then -c and the configuration written from
    // keys, with env added to its environment.
    void RunVidula(const std::map<std::string, std::string> &keys,
                   const std::vector<std::string> &options = {},
                   const std::map<std::string, std::string> &env = {});

    TempRoot root_;
    std::unique_ptr<Process> camera_;
    std::unique_ptr<Process> vidula_;
    int port_ = 0;
};

// A listening TCP socket on 127.0.0.1 with a free port, accepting nothing:
// a camera that never answers. Closed at the end.
class SilentPort {
  public:
    SilentPort();
    ~SilentPort();
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and
// released), for a server a test starts.
int FreeLoopbackPort();

// Connects to 127.0.0.1:port, with SO_RCVBUF set first when receiveBuffer > 0.
// Returns the socket, or -1 when the connection is refused.
int ConnectLoopback(int port, int receiveBuffer = 0);

}  // namespace harness
