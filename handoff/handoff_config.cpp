// handoff_config.cpp -- parcelod's configuration file: defaults, parsing, loading.
#include "handoff_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handoff_volume.h"
#include "text_file.h"

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

static int WriteDefaultFile(const std::string &path, int targetDisk, const std::string &address) {
    MakeFolders(path.substr(0, path.rfind('/') + 1));
    return ReplaceTextFile(path, DefaultConfigurationText(targetDisk, address)) == 0 ? 0 : 1;
}

int LoadConfiguration(HandoffConfig *config) {
    config->effectiveDays = 30;
    config->limitSpace = 0;
    config->totalSpace = "unlimited";
    config->eachUserMaxSpace = "unlimited";
    config->shareRoot.clear();
    std::string path = HandoffConfigPath();
    std::string text;
    int addressKnown = 0;
    if (ReadTextFile(path, &text) != 0) {
        config->targetDisk = DetectTargetDisk();
        Br0Address(&config->br0Address);
        config->internetAddr = config->br0Address;
        addressKnown = 1;
        if (WriteDefaultFile(path, config->targetDisk, config->internetAddr) != 0) {
            fflush(stdout);
            exit(0);
        }
        sync();
        if (ReadTextFile(path, &text) != 0) {
            printf("Read: %s\n", strerror(errno));
            return 1;
        }
    }
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
    MakeShareTrees(config);
    return 0;
}
