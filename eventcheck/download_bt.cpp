// download_bt.cpp -- the BitTorrent part of the download step: lists, status files and rows.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static std::string ListPath(int volume, char letter, const char *file) {
    char path[64];
    snprintf(path, sizeof(path), "/tmp/USB%d/%c:/.system_file/%s", volume, letter, file);
    return path;
}

// Keeps the best-ranked items and every finished item beyond them.
static void TakeBtItem(void *context, const BtItem &item) {
    BtLists *lists = static_cast<BtLists *>(context);
    std::vector<BtItem> &ranked = lists->ranked;
    if (ranked.size() >= BT_LIST_CAPACITY && BtRanksBefore(item, ranked.back())) {
        // The item displaced from the ranked list stays known when finished.
        if (ranked.back().status == 5) lists->finished.push_back(ranked.back());
    } else if (ranked.size() >= BT_LIST_CAPACITY) {
        if (item.status == 5) lists->finished.push_back(item);
        return;
    }
    InsertBtItem(&ranked, item);
}

void LoadBtLists(BtLists *lists) {
    for (int volume = 1; volume <= VOLUME_COUNT; volume++) {
        for (char letter = 'C'; letter < 'R'; letter++) {
            std::string path = ListPath(volume, letter, "bt.cfg");
            std::string real = NasPath(path.c_str());
            FILE *file = nullptr;
            bool locked = false;
            if (access(real.c_str(), R_OK | W_OK) == 0) {
                file = OpenLocked(path.c_str(), "r+");
                locked = true;
                // A list whose writer holds it is unread, not empty.
                if (file == nullptr) lists->unread = true;
            } else if (access(real.c_str(), R_OK) == 0) {
                file = fopen(real.c_str(), "r");
            }
            if (file == nullptr) continue;
            ReadBtItems(file, volume, letter, TakeBtItem, lists);
            if (locked) {
                CloseLocked(file);
            } else {
                fclose(file);
            }
        }
    }
    std::stable_sort(lists->finished.begin(), lists->finished.end(), BtRanksBefore);
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
    struct stat opened;
    bool known = fstat(fileno(file), &opened) == 0;
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
    // Deleted only when the name still holds the file that was read: a newer
    // one the client wrote meanwhile is kept for the next run.
    struct stat now;
    if (known && lstat(real.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
        now.st_ino == opened.st_ino) {
        unlink(real.c_str());
    }
}

std::string SetFirstField(const std::string &text, const std::string &value) {
    std::string out;
    for (const std::string &line : SplitLines(text)) {
        // As awk rebuilds a record whose field 1 was set: the fields joined by single blanks.
        std::string rebuilt = value;
        size_t at = line.find_first_not_of(" \t");
        if (at != std::string::npos) at = line.find_first_of(" \t", at);
        while (at != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", at);
            if (start == std::string::npos) break;
            at = line.find_first_of(" \t", start);
            rebuilt +=
                " " + line.substr(start, at == std::string::npos ? std::string::npos : at - start);
        }
        out += rebuilt + "\n";
    }
    return out;
}

// Writes "NN%" into field 1 of the status file, under the client's first-byte
// lock, through a new file in the same folder renamed over the old one: the
// file is never absent and never put back over a newer update of the client.
static void StoreProgress(const std::string &statusFile, int percent) {
    std::string real = NasPath(statusFile.c_str());
    int fd = open(real.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ReportLinkRefused(statusFile.c_str());
        return;
    }
    if (LockFirstByte(fd, F_WRLCK) != 0) {
        close(fd);
        return;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
    char value[32];
    snprintf(value, sizeof(value), "%d%%", percent);
    std::string updated = SetFirstField(text, value);
    if (n == 0 && updated != text) ReplaceText(statusFile.c_str(), updated);
    LockFirstByte(fd, F_UNLCK);
    close(fd);
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

std::string BtRow(const BtItem &item, int btEnable, int row) {
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
    return line + "\n";
}

// Creates the item's "nastmp" file with "unknown" when it is missing: a new
// file, never one reached through a link.
static void EnsureNastmp(const BtItem &item) {
    std::string path = StatusFile(item, true);
    if (FileExists(path.c_str())) return;
    int fd = open(NasPath(path.c_str()).c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        ReportLinkRefused(path.c_str());
        return;
    }
    if (write(fd, "unknown", 7) != 7) perror("orlinda: nastmp");
    close(fd);
}

void ProcessBtList(EventRun *run) {
    DownloadRunState *state = &run->downloads;
    int btEnable = run->settings.btEnable;
    BtLists lists;
    LoadBtLists(&lists);
    RunProgram({"killall", "-SIGHUP", "quorret"}, true);
    if (lists.ranked.empty()) {
        if (!lists.unread) RemoveFile("/tmp/emailBtFinishItem");
        return;
    }
    std::set<std::string> problems = ReadLineSet("/tmp/emailBTProblem");
    std::set<std::string> finished = ReadLineSet("/tmp/emailBtFinishItem");
    int row = 0;
    for (const BtItem &item : lists.ranked) {
        EnsureNastmp(item);
        if (item.status == 5) {
            if (finished.insert(item.target).second) {
                state->btFinished.push_back(item.target);
                state->anyFinished = 1;
            }
        } else {
            state->btRows += BtRow(item, btEnable, ++row);
        }
        if ((item.status == 4 || item.status == 6) && problems.insert(item.target).second) {
            state->btProblems.push_back(item.target);
            state->btProblem = 1;
        }
    }
    for (const BtItem &item : lists.finished) {
        if (finished.insert(item.target).second) {
            state->btFinished.push_back(item.target);
            state->anyFinished = 1;
        }
    }
}
