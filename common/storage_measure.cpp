// storage_measure.cpp -- used space of the recording tree (du) and free space
// of its volume (df).
#include <stdio.h>

#include "logging.h"
#include "shell.h"
#include "shell_command.h"
#include "storage.h"
#include "storage_parse.h"

// Runs "VERB 'folder'" and reads its output with takeLine. Returns the bytes
// read, or -1; pipeFailure is logged when the tool cannot be started.
static int64_t MeasureWithTool(const char *verb, const char *folder, OutputLineReader takeLine,
                               const char *pipeFailure) {
    ShellCommand command;
    BuildShellCommand(&command, verb, {folder});
    FILE *pipe = OpenShellOutput(ShellCommandLine(&command));
    if (pipe == nullptr) {
        LogError("%s", pipeFailure);
        return -1;
    }
    int64_t bytes = ReadSpaceOutput(pipe, takeLine);
    CloseShellOutput(pipe);
    return bytes;
}

int64_t GetFolderUsedSpace(const char *folder) {
    return MeasureWithTool("du", folder, TakeDuLine, "Fail to open pipe in GetFolderUsedSpace()");
}

int64_t GetFolderFreeSpace(const char *folder) {
    return MeasureWithTool("df", folder, TakeDfLine, "Fail to open pipe in GetFolderFreeSpace()");
}
