// handoff_config.h -- parcelod's configuration file.
//
// The configuration file "/nasext/main/cfg/parcelo/parcelo.conf" holds one
// key per line, each line beginning with two tabs. LoadConfiguration reads it
// (writing the six default lines first when it is missing), chooses the
// target volume's root (shareRoot) from target_hdd and makes sure the share
// trees exist (handoff_volume.h probes the volume and makes them). Paths held here are in the
// appliance's form; file-system access and shell commands map them through NasPath.
#pragma once

#include <stdint.h>

#include <string>

// Configuration of one process (loaded at start and on SIGHUP).
struct HandoffConfig {
    int effectiveDays;             // days until a hand-off expires (30)
    std::string internetAddr;      // host part of the internet link (br0 address)
    long long limitSpace;          // read and written back only (0)
    int targetDisk;                // 1 HDD1, 2 HDD2, 3 RAID, 0 none
    std::string totalSpace;        // "unlimited" or kilobytes all hand-offs may use
    std::string eachUserMaxSpace;  // "unlimited" or kilobytes one user may use
    std::string shareRoot;         // "/mnt/USB5/C:/" ...; empty: no target volume
    std::string br0Address;        // the address of br0 as last read
};

// "/nasext/main/cfg/parcelo/parcelo.conf", appliance form.
std::string HandoffConfigPath();

// Reads the configuration (creating the default file when it cannot be
// opened), sets shareRoot and makes the share trees. Returns 0, or 1 when the
// file can neither be read nor created (the system error is printed after
// "Read"). Ends the process with status 0 when the default file cannot be
// written, or when shareRoot stays empty ("Error: Create shared folder
// failed!").
int LoadConfiguration(HandoffConfig *config);

// Takes the keys from the configuration text into config (keys not found keep
// what config holds). Returns 1 when a target_hdd key was found, else 0.
int ParseConfigurationText(HandoffConfig *config, const std::string &text);

// The six default lines for the disk number and br0 address.
std::string DefaultConfigurationText(int targetDisk, const std::string &address);

// The volume root of a disk number: "/mnt/USB5/C:/" (1), "/mnt/USB6/C:/" (2),
// "/mnt/USB4/C:/" (3), "" otherwise.
std::string ShareRootOfDisk(int targetDisk);
