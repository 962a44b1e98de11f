// handoff_volume.h -- the target volume as the system reports it: the disk
// df lists, br0's address, the free space, and the two share trees on it.
//
// The configuration (handoff_config.h) asks it for the defaults, the share
// folders (handoff_files.h) build on its trees; neither knows the other.
// Paths are in the appliance's form; access and commands map them.
#pragma once

#include <stdint.h>

#include <string>

#include "handoff_config.h"

static const char kHandoffStorageFolder[] = ".storage_server_parcelo/";

// The share trees below shareRoot, each holding one folder per hand-off.
std::string TmpShareTree(const HandoffConfig *config);
std::string FinalShareTree(const HandoffConfig *config);

// Makes both share trees (and the folders above them) when they are missing;
// nothing without a target volume.
void MakeShareTrees(const HandoffConfig *config);

// 1 when "df" lists "/dev/hdd1", else 2 for "/dev/hdc1", else 3 for
// "/dev/md0", else 0 (also when df cannot be run: "Fail to open pipe").
int DetectTargetDisk(void);

// Reads br0's IPv4 address through ifconfig into *address (the last output
// line, without its line end); leaves it unchanged when the command cannot be
// run ("Fail to open pipe").
void Br0Address(std::string *address);

// Kilobytes free on the target volume, from df; 0 when unknown (no shareRoot,
// no ":" in it, or df cannot be run: "Open pipe: ..." is printed).
int64_t FreeSpace(const HandoffConfig *config);
