// event_fixture.h -- an appliance state in a private root, and orlinda run against it.
//
// EventCheckTest gives each test its own NAS_ROOT with a flash image made
// from settings lines, the stand-ins first on PATH and the log daemon's queue
// claimed for the test. RunOrlinda starts the real program and waits until
// every process it started (the mail script and LED tool run in the
// background) has ended, so the recorded calls are complete.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace eventtest {

// A word as the stand-ins record it: plain, or single-quoted.
std::string Quoted(const std::string &word);

// The daemons the process tests look for.
extern const std::vector<std::string> kDaemons;

class EventCheckTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Settings of the flash image, by name; written by WriteFlash (RunOrlinda
    // writes it when it changed).
    void Set(const std::string &name, const std::string &value);
    void WriteFlash();
    // Puts these bytes on the device instead (kept until Set is called again).
    void WriteDevice(const std::string &bytes);
    // Files and folders of the appliance, relative to the root.
    std::string Write(const std::string &relative, const std::string &content);
    void Mkdir(const std::string &relative);
    std::string Read(const std::string &relative) const;
    bool Exists(const std::string &relative) const;
    void Remove(const std::string &relative);
    // root + appliance path ("/tmp/x" -> ROOT/tmp/x).
    std::string Nas(const std::string &path) const;

    // The ps listing: the daemons named run, then a "grep NAME" line for each
    // daemon as a real ps lists the grep of the pipe after them.
    void SetRunning(const std::vector<std::string> &running);
    // What a stand-in prints.
    void SetOutput(const std::string &tool, const std::string &text);

    // Runs orlinda to its end; returns its exit status.
    int RunOrlinda();
    std::string output;  // what orlinda printed
    // Starts orlinda without waiting (its output goes to orlinda.out too);
    // WaitOrlinda waits for that one process and returns its exit status, or
    // -1 when a signal ended it. ReapAll waits until every process of the
    // runs (background ones included) has ended.
    pid_t StartOrlinda();
    int WaitOrlinda(pid_t pid);
    void ReapAll();
    // Variables added to orlinda's environment (a time zone, a fake clock).
    std::map<std::string, std::string> runEnv;

    // Calls recorded by the stand-ins since the last ClearCalls, in the order
    // they were started.
    std::vector<std::string> Calls() const;
    // Only the calls whose program is name.
    std::vector<std::string> CallsOf(const std::string &name) const;
    void ClearCalls();
    // Log records orlinda queued (their texts), taken off the queue.
    std::vector<std::string> TakeLogRecords();
    // Lines of "nasLog.log".
    std::vector<std::string> NasLogLines() const;

    // The expected command line of a mail, as kestrin.sh records it.
    std::string Mail(int language, const std::string &subjectKey, const std::string &body,
                     const std::string &eventPath, int flag, const std::string &address = "");

    harness::TempRoot root;
    int logQueue = -1;

  private:
    std::map<std::string, std::string> settings_;
    bool flashDirty_ = true;
};

}  // namespace eventtest
