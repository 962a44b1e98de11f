// handoff_volume.cpp -- the target volume as the system reports it (df,
// ifconfig) and the share trees on it.
#include "handoff_volume.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "nas_path.h"
#include "shell_command.h"
#include "text_file.h"

std::string TmpShareTree(const HandoffConfig *config) {
    return config->shareRoot + kHandoffStorageFolder + ".parcelo_tmp_share/";
}

std::string FinalShareTree(const HandoffConfig *config) {
    return config->shareRoot + kHandoffStorageFolder + ".parcelo_final_share/";
}

void MakeShareTrees(const HandoffConfig *config) {
    if (config->shareRoot.empty()) return;
    MakeFolders(TmpShareTree(config), 0777);
    MakeFolders(FinalShareTree(config), 0777);
}

static int OnDfLine(void *context, const char *line, size_t length) {
    int *found = static_cast<int *>(context);
    if (strstr(line, "/dev/hdd1")) found[0] = 1;
    if (strstr(line, "/dev/hdc1")) found[1] = 1;
    if (strstr(line, "/dev/md0")) found[2] = 1;
    return 0;
}

int DetectTargetDisk(void) {
    ShellCommand c;
    ShellCommandBegin(&c, "df");
    int found[3] = {0, 0, 0};
    if (ShellCommandReadLines(&c, OnDfLine, found) < 0) {
        printf("Fail to open pipe\n");
        return 0;
    }
    if (found[0]) return 1;
    if (found[1]) return 2;
    if (found[2]) return 3;
    return 0;
}

static int OnLastLine(void *context, const char *line, size_t length) {
    std::string *last = static_cast<std::string *>(context);
    last->assign(line, length);
    while (!last->empty() && (last->back() == '\n' || last->back() == '\r')) last->pop_back();
    return 0;
}

void Br0Address(std::string *address) {
    ShellCommand c;
    ShellCommandBegin(&c,
                      "ifconfig |grep -A 1 br0|grep -i \"inet addr\"|awk -F\":\" '{print $2}'"
                      "|awk '{print $1}'");
    std::string last;
    if (ShellCommandReadLines(&c, OnLastLine, &last) < 0) {
        printf("Fail to open pipe\n");
        return;
    }
    *address = last;
}

static int OnFirstLine(void *context, const char *line, size_t length) {
    std::string *first = static_cast<std::string *>(context);
    first->assign(line, length);
    return 1;
}

int64_t FreeSpace(const HandoffConfig *config) {
    size_t colon = config->shareRoot.find(':');
    if (config->shareRoot.empty() || colon == std::string::npos) return 0;
    std::string volume = config->shareRoot.substr(0, colon);
    ShellCommand c;
    ShellCommandBegin(&c, "df |grep");
    ShellCommandWord(&c, volume.c_str());
    ShellCommandText(&c, " |awk '{print $4}'");
    std::string first;
    if (ShellCommandReadLines(&c, OnFirstLine, &first) < 0) {
        printf("Open pipe: %s\n", strerror(errno));
        return 0;
    }
    long long kb = atoll(first.c_str());
    return kb > 0 ? kb : 0;
}
