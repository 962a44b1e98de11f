// vidula_field.h -- the fixture of the recorder's process tests of faults
// met in the field, on the shared VidulaRig, and what they inspect in /proc.
//
// Recordings of prefix "cam" go to root_/rec/ (folder_), local time is UTC,
// manager wake-ups are blocked; vidula's output is printed when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace harness {

// The text of the files Plant puts in the record folder.
extern const char kPlanted[];

// Fields of /proc/PID/stat: state and parent pid; false when pid is gone.
bool ProcState(int pid, char *state, int *ppid);
// A process that is gone or only a zombie waiting for its parent.
bool Ended(int pid);
// Children of pid that have ended but were not reaped.
int Zombies(int pid);
// The open descriptors of pid above standard error, and what they point at.
std::map<int, std::string> Descriptors(int pid);
// The flags line of /proc/PID/fdinfo/FD as a number (octal in the file).
long DescriptorFlags(int pid, int fd);

// The in-progress name of a recording of prefix "cam" started at t (UTC),
// relative to the record folder.
std::string InProgressName(time_t t);
// The finished name of inProgress ended at end (UTC).
std::string FinalName(const std::string &inProgress, time_t end);

class VidulaFieldTest : public ::testing::Test, public VidulaRig {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The camera stand-in at 320x240, 25 frames a second, with args added.
    void StartCamera(const std::vector<std::string> &args = {});
    // root_/vidula.conf: the camera's port, folder_, prefix "cam", console
    // logging, then keys over them. Returns its path.
    std::string WriteConfig(const std::map<std::string, std::string> &keys = {});
    // Starts program (vidula, or a copy of it) with the configuration and
    // TZ=UTC added to env; waits for tarsel unless told not to.
    void StartVidula(const std::map<std::string, std::string> &keys = {}, bool waitTarsel = true,
                     const std::string &program = "", std::map<std::string, std::string> env = {});
    // The pid of the tarsel named in the newest "Execute TARSEL" line.
    int TarselPid();
    // A copy of vidula in root_/bin, so that the tarsel beside it is the
    // test's choice. Returns its path.
    std::string CopyVidula();
    // Writes kPlanted at folder_ + relative (folders made). Returns relative.
    std::string Plant(const std::string &relative);
    // The regular files under folder_, relative to it.
    std::set<std::string> Files();

    std::string folder_;
};

}  // namespace harness
