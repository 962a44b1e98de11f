// handoff_config.cpp -- loading parcelod's configuration and finding the target volume.
#include "handoff_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handoff_files.h"
#include "nas_path.h"
#include "shell_command.h"

std::string HandoffConfigPath() {
    return std::string("/nasext/main/") + "cfg/parcelo/" + "parcelo.conf";
}

std::string ShareRootOfDisk(int targetDisk) {
    switch (targetDisk) {
        case 1:
            return "/mnt/USB5/C:/";
        case 2:
            return "/mnt/USB6/C:/";
        case 3:
            return "/mnt/USB4/C:/";
        default:
            return "";
    }
}

std::string DefaultConfigurationText(int targetDisk, const std::string &address) {
    static const char *const kDisk[] = {"", "HDD1", "HDD2", "RAID"};
    const char *disk = targetDisk >= 1 && targetDisk <= 3 ? kDisk[targetDisk] : "";
    return std::string("\t\teffective_days  30\n") + "\t\tinternet_addr\t" + address + "\n" +
           "\t\tlimit_space     0\n" + "\t\ttarget_hdd\t" + disk + "\n" +
           "\t\ttotal_space\tunlimited\n" + "\t\teach_user_max_space\tunlimited\n";
}

// The text of line from offset characters after position at on, without its
// line end; empty when the line is shorter.
static std::string ValueAfter(const std::string &line, size_t at, size_t offset) {
    if (at + offset > line.size()) return "";
    std::string value = line.substr(at + offset);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

int ParseConfigurationText(HandoffConfig *config, const std::string &text) {
    int foundDisk = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find('[') != std::string::npos) break;
        size_t at;
        if ((at = line.find("effective_days")) != std::string::npos) {
            config->effectiveDays = atoi(ValueAfter(line, at, 15).c_str());
        } else if ((at = line.find("total_space")) != std::string::npos) {
            config->totalSpace = ValueAfter(line, at, 12);
        } else if ((at = line.find("each_user_max_space")) != std::string::npos) {
            config->eachUserMaxSpace = ValueAfter(line, at, 20);
        } else if (line.find("target_hdd") != std::string::npos) {
            foundDisk = 1;
            if (line.find("HDD1") != std::string::npos) {
                config->targetDisk = 1;
            } else if (line.find("HDD2") != std::string::npos) {
                config->targetDisk = 2;
            } else if (line.find("RAID") != std::string::npos) {
                config->targetDisk = 3;
            } else {
                config->targetDisk = 0;
            }
        } else if ((at = line.find("internet_addr")) != std::string::npos) {
            config->internetAddr = ValueAfter(line, at, 14);
        } else if ((at = line.find("limit_space")) != std::string::npos) {
            config->limitSpace = atoll(ValueAfter(line, at, 12).c_str());
        }
    }
    return foundDisk;
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

static int MakeFolder(const std::string &path) {
    ShellCommand c;
    ShellCommandBegin(&c, "mkdir -p");
    ShellCommandWord(&c, NasPath(path.c_str()).c_str());
    return ShellCommandRun(&c);
}

static int WriteDefaultFile(const std::string &path, int targetDisk, const std::string &address) {
    std::string folder = path.substr(0, path.rfind('/') + 1);
    MakeFolder(folder);
    FILE *out = fopen(NasPath(path.c_str()).c_str(), "w");
    if (out == nullptr) return 1;
    std::string text = DefaultConfigurationText(targetDisk, address);
    int bad = fwrite(text.data(), 1, text.size(), out) != text.size();
    bad |= fflush(out) != 0;
    if (!bad) fsync(fileno(out));
    bad |= fclose(out) != 0;
    return bad;
}

int LoadConfiguration(HandoffConfig *config) {
    config->effectiveDays = 30;
    config->limitSpace = 0;
    config->totalSpace = "unlimited";
    config->eachUserMaxSpace = "unlimited";
    config->shareRoot.clear();
    std::string path = HandoffConfigPath();
    std::string fsPath = NasPath(path.c_str());
    FILE *in = fopen(fsPath.c_str(), "r");
    int addressKnown = 0;
    if (in == nullptr) {
        config->targetDisk = DetectTargetDisk();
        Br0Address(&config->br0Address);
        config->internetAddr = config->br0Address;
        addressKnown = 1;
        if (WriteDefaultFile(path, config->targetDisk, config->internetAddr) != 0) {
            fflush(stdout);
            exit(0);
        }
        sync();
        in = fopen(fsPath.c_str(), "r");
        if (in == nullptr) {
            printf("Read: %s\n", strerror(errno));
            return 1;
        }
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0) text.append(chunk, n);
    fclose(in);
    HandoffConfig read = *config;
    read.internetAddr = "\x01";  // marks "not found"
    int foundDisk = ParseConfigurationText(&read, text);
    if (read.internetAddr == "\x01") {
        if (!addressKnown) Br0Address(&read.br0Address);
        read.internetAddr = read.br0Address;
    }
    if (!foundDisk) read.targetDisk = DetectTargetDisk();
    if (foundDisk) read.shareRoot = ShareRootOfDisk(read.targetDisk);
    *config = read;
    if (config->shareRoot.empty()) {
        printf("Error: Create shared folder failed!\n");
        fflush(stdout);
        exit(0);
    }
    std::string storage = config->shareRoot + kHandoffStorageFolder;
    struct stat st;
    if (stat(NasPath(storage.c_str()).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        MakeFolder(storage + ".parcelo_tmp_share/");
        MakeFolder(storage + ".parcelo_final_share/");
    }
    return 0;
}
