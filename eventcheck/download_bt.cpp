// download_bt.cpp -- the BitTorrent part of the download step: lists, status files and rows.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "shell_command.h"

static std::string ListPath(int volume, char letter, const char *file) {
    char path[64];
    snprintf(path, sizeof(path), "/tmp/USB%d/%c:/.system_file/%s", volume, letter, file);
    return path;
}

void LoadBtLists(std::vector<BtItem> *list) {
    for (int volume = 1; volume <= VOLUME_COUNT; volume++) {
        for (char letter = 'C'; letter < 'R'; letter++) {
            std::string path = ListPath(volume, letter, "bt.cfg");
            std::string real = NasPath(path.c_str());
            FILE *file = nullptr;
            bool locked = false;
            if (access(real.c_str(), R_OK | W_OK) == 0) {
                file = OpenLocked(path.c_str(), "r+");
                locked = true;
            } else if (access(real.c_str(), R_OK) == 0) {
                file = fopen(real.c_str(), "r");
            }
            if (file == nullptr) continue;
            std::vector<BtItem> items;
            ReadBtItems(file, volume, letter, &items);
            for (const BtItem &item : items) InsertBtItem(list, item);
            if (locked) {
                CloseLocked(file);
            } else {
                fclose(file);
            }
        }
    }
}

// "/tmp/USB5/C:/.system_file/nastmp_ID" or "/mnt/USB5/C:/.system_file/btstatus_ID".
static std::string StatusFile(const BtItem &item, bool nastmp) {
    char path[96];
    snprintf(path, sizeof(path),
             nastmp ? "/tmp/USB%d/%c:/.system_file/nastmp_%lu"
                    : "/mnt/USB%d/%c:/.system_file/btstatus_%lu",
             item.volume, item.letter, static_cast<unsigned long>(item.addTime));
    return path;
}

int FindBtPid(FILE *in, const std::string &torrentInformation, long *pid, std::string *tempFile) {
    char line[1044];
    bool inSection = false;
    long sectionPid = 0;
    std::string sectionFile, sectionTorrent;
    bool found = false;
    auto closeSection = [&]() {
        if (inSection && !found && sectionTorrent == torrentInformation) {
            *pid = sectionPid;
            *tempFile = sectionFile;
            found = true;
        }
    };
    while (!found && fgets(line, sizeof(line), in) != nullptr) {
        TrimListLine(line);
        if (strncmp(line, "[BT.PID]", 8) == 0) {
            closeSection();
            inSection = true;
            sectionPid = 0;
            sectionFile.clear();
            sectionTorrent.clear();
        } else if (strncmp(line, "Pid=", 4) == 0) {
            sectionPid = strtol(line + 4, nullptr, 10);
        } else if (strncmp(line, "TempFileName=", 13) == 0) {
            sectionFile = line + 13;
        } else if (strncmp(line, "TorrentInformation=", 19) == 0) {
            sectionTorrent = line + 19;
        }
    }
    closeSection();
    return found ? 0 : 1;
}

// What the client's throughput file says about a download being worked on.
struct BtProgress {
    long rate = -1;  // bytes per second
    std::string schedule = "unknown";
};

static void ReadThroughput(const std::string &workFile, BtProgress *progress) {
    std::string path = workFile + "_throughput";
    std::string real = NasPath(path.c_str());
    FILE *file = nullptr;
    for (int check = 0; check < 5 && file == nullptr; check++) {
        if (check > 0) {
            struct timespec pause = {0, 500 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        file = fopen(real.c_str(), "r");
    }
    if (file == nullptr) return;
    progress->rate = 0;
    char line[30];
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (strncmp(line, "throughput=", 11) == 0) {
            progress->rate = atol(line + 11);  // the digits before the "b"
        } else if (strncmp(line, "schedule=", 9) == 0) {
            progress->schedule = line + 9;  // newline kept
        }
    }
    fclose(file);
    ShellCommand command;
    BuildShellCommand(&command, "ls", {real.c_str()});
    if (ShellCommandRun(&command) == 0) {
        BuildShellCommand(&command, "rm -f", {real.c_str()});
        ShellCommandRun(&command);
    }
}

// Writes "NN%" into field 1 of the status file with awk.
static void StoreProgress(const std::string &statusFile, int percent) {
    std::string real = NasPath(statusFile.c_str());
    std::string scratch = NasPath("/tmp/btstatus.tmp");
    char head[64];
    snprintf(head, sizeof(head), "awk '{$1=\"%d%%\";print}' ", percent);
    ShellCommand command;
    ShellCommandBegin(&command, head);
    ShellCommandGlue(&command, real.c_str());
    ShellCommandText(&command, " > ");
    ShellCommandGlue(&command, scratch.c_str());
    ShellCommandText(&command, "; rm -f ");
    ShellCommandGlue(&command, real.c_str());
    ShellCommandText(&command, "; mv ");
    ShellCommandGlue(&command, scratch.c_str());
    ShellCommandWord(&command, real.c_str());
    ShellCommandRun(&command);
}

// A decimal number kept within the range of an int.
static long ClampedNumber(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return value;
}

// The number in the first word of a file; 0 when it does not open.
static long FirstNumber(const std::string &path) {
    FILE *file = fopen(NasPath(path.c_str()).c_str(), "r");
    if (file == nullptr) return 0;
    char word[64] = "";
    if (fscanf(file, "%63s", word) != 1) word[0] = '\0';
    fclose(file);
    return ClampedNumber(word);
}

std::string FormatBtSize(int64_t size) {
    char text[64];
    if (size >= (int64_t{1} << 30)) {
        snprintf(text, sizeof(text), "%.2fGB", static_cast<double>(size) / (1 << 30));
    } else if (size >= (int64_t{1} << 20)) {
        snprintf(text, sizeof(text), "%.2fMB", static_cast<double>(size) / (1 << 20));
    } else {
        snprintf(text, sizeof(text), "%.2fKB", static_cast<double>(size) / (1 << 10));
    }
    return text;
}

// total * percent / 100 without overflow; a progress outside 0..100 counts as its bound.
static int64_t PartOf(int64_t total, long percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    return total / 100 * percent + total % 100 * percent / 100;
}

void WriteBtRow(const BtItem &item, int btEnable, int row) {
    std::string statusFile = StatusFile(item, item.status == 3);
    long pid = 0;
    std::string workFile;
    FILE *pids = OpenLocked("/tmp/bt.pid", "r+");
    if (pids != nullptr) {
        FindBtPid(pids, item.torrentInformation, &pid, &workFile);
        CloseLocked(pids);
    }
    long progress = 0;
    std::string timeText, rateText;
    if (pid > 0) {
        BtProgress now;
        ReadThroughput(workFile, &now);
        if (now.schedule != "unknown") {
            progress = ClampedNumber(now.schedule.c_str());
            if (progress > 0) StoreProgress(statusFile, static_cast<int>(progress));
        } else {
            progress = FirstNumber(statusFile);
        }
        if (now.rate > 0) {
            int64_t left = (item.totalSize - PartOf(item.totalSize, progress)) / now.rate;
            char text[64];
            snprintf(text, sizeof(text), "%lld:%lld:%lld", static_cast<long long>(left / 3600),
                     static_cast<long long>(left / 60 % 60), static_cast<long long>(left % 60));
            timeText = text;
            if (now.rate < 1000) {
                snprintf(text, sizeof(text), "%ldB/S", now.rate);
            } else {
                snprintf(text, sizeof(text), "%ldKB/S", now.rate / 1000);
            }
            rateText = text;
        } else {
            timeText = "unknown";
            rateText = "0";
        }
    }
    std::string progressText;
    if (item.status == 3) {
        FILE *nastmp = fopen(NasPath(StatusFile(item, true).c_str()).c_str(), "r");
        if (nastmp == nullptr) {
            progressText = "unknown";
        } else {
            char first[10] = "";
            if (fgets(first, sizeof(first), nastmp) == nullptr) first[0] = '\0';
            fclose(nastmp);
            first[strcspn(first, "\r\n")] = '\0';
            progressText = std::string(first) + "%";
        }
    } else {
        progressText = std::to_string(progress) + "%";
    }
    char number[32];
    snprintf(number, sizeof(number), "\t(%d) ", row);
    std::string line = number + item.target + "\t";
    line += (item.status == 3 || btEnable == 0 ? std::string("unknown") : timeText) + "\t\t";
    line += FormatBtSize(item.totalSize) + "\t\t" + progressText + "\t\t";
    line += (btEnable == 0 || item.status == 0 || item.status == 3 ? std::string("0") : rateText);
    AppendText("/tmp/emailBtFinish", line + "\n");
}

// Creates the item's "nastmp" file with "unknown" when it is missing.
static void EnsureNastmp(const BtItem &item) {
    std::string path = StatusFile(item, true);
    if (FileExists(path.c_str())) return;
    FILE *file = fopen(NasPath(path.c_str()).c_str(), "w");
    if (file == nullptr) return;
    fputs("unknown", file);
    fclose(file);
}

void ProcessBtList(DownloadRunState *state) {
    int btEnable = SettingNumber(SETTING_BT_ENABLE);
    std::vector<BtItem> list;
    LoadBtLists(&list);
    ShellCommand command;
    ShellCommandBegin(&command, "killall -SIGHUP quorret");
    ShellCommandRun(&command);
    if (list.empty()) {
        RemoveFile("/tmp/emailBtFinishItem");
        return;
    }
    std::vector<std::string> problemLines;
    ReadTextLines("/tmp/emailBTProblem", 1024, true, &problemLines);
    std::string problems = JoinBlank(problemLines);
    std::vector<std::string> finished;  // the finished-items file, read once
    ReadTextLines("/tmp/emailBtFinishItem", 512, true, &finished);
    int row = 0;
    for (const BtItem &item : list) {
        EnsureNastmp(item);
        if (item.status == 5) {
            if (RecordFinished("/tmp/emailBtFinishItem", &finished, item.target, "btDownload") ==
                1) {
                state->btFinished.push_back(item.target);
                state->anyFinished = 1;
            }
        } else {
            WriteBtRow(item, btEnable, ++row);
        }
        if ((item.status == 4 || item.status == 6) &&
            problems.find(item.target) == std::string::npos) {
            AppendText("/tmp/emailBTProblem", item.target + "\n");
            problems += " " + item.target;
            state->btProblem = 1;
        }
    }
}
