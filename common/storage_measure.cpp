// storage_measure.cpp -- used space of the recording tree (du) and free space
// of its volume (df).
#include <stdio.h>

#include "logging.h"
#include "shell.h"
#include "storage.h"
#include "storage_command.h"
#include "storage_parse.h"

int64_t GetFolderUsedSpace(const char *folder) {
    FILE *pipe = OpenShellOutput(QuotedCommand("du", folder).c_str());
    if (pipe == nullptr) {
        LogError("Fail to open pipe in GetFolderUsedSpace()");
        return -1;
    }
    int64_t used = ReadUsedSpace(pipe);
    CloseShellOutput(pipe);
    return used;
}

int64_t GetFolderFreeSpace(const char *folder) {
    FILE *pipe = OpenShellOutput(QuotedCommand("df", folder).c_str());
    if (pipe == nullptr) {
        LogError("Fail to open pipe in GetFolderFreeSpace()");
        return -1;
    }
    int64_t available = ReadFreeSpace(pipe);
    CloseShellOutput(pipe);
    return available;
}
