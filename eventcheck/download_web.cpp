// download_web.cpp -- the web and FTP part of the download step: lists, names and rows.
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "nas_path.h"
#include "orlinda.h"

void LoadWebLists(std::vector<WebDownloadItem> *list, bool *unread) {
    for (int volume = 1; volume <= VOLUME_COUNT; volume++) {
        for (char letter = 'C'; letter < 'R'; letter++) {
            char path[64];
            snprintf(path, sizeof(path), "/tmp/USB%d/%c:/.system_file/download.cfg", volume,
                     letter);
            FILE *file = OpenLocked(path, "r+");
            if (file == nullptr) {
                // A list whose writer holds it is unread, not empty.
                if (FileExists(path)) *unread = true;
                continue;
            }
            ReadWebItems(file, volume, letter, list);
            CloseLocked(file);
        }
    }
}

std::string FormatSize(double bytes) {
    char text[64];
    snprintf(text, sizeof(text), "%.0lf", bytes);
    double value = bytes;
    for (char unit : {'K', 'M', 'G', 'T'}) {
        value /= 1024;
        if (value >= 2 && value < 100) {
            snprintf(text, sizeof(text), "%.1lf%c", value, unit);
        } else if (value >= 100) {
            snprintf(text, sizeof(text), "%.0lf%c", value, unit);
        }
    }
    return text;
}

static std::string AfterLastSlash(const std::string &text) {
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The item's name: the file name, or the real target named by its marker file.
static std::string WebItemName(const WebDownloadItem &item) {
    std::string name = AfterLastSlash(item.fullPath);
    if (item.fullPath.size() < 13) return name;
    std::string rest = item.fullPath.substr(13);
    std::replace(rest.begin(), rest.end(), '/', '_');
    std::string marker = item.fullPath.substr(0, 13) + ".system_file/download/" + rest + ".tmp__";
    FILE *file = fopen(NasPath(marker.c_str()).c_str(), "r");
    if (file == nullptr) return name;
    char line[305] = "";
    if (fgets(line, sizeof(line), file) == nullptr) line[0] = '\0';
    fclose(file);
    line[strcspn(line, "\r\n")] = '\0';
    name = AfterLastSlash(line);
    return name.empty() ? std::string("default") : name;
}

std::string WebLocationText(const std::string &fullPath) {
    if (fullPath.size() < 12) return std::string();
    std::string mount = fullPath.substr(5, 4);
    std::string text = "[" + mount + "]" + fullPath[10] + ":" + fullPath.substr(12);
    std::replace(text.begin(), text.end(), '/', '\\');
    size_t last = text.rfind('\\');
    if (last != std::string::npos) text.resize(last + 1);
    const char *label = mount.size() == 4 ? VolumeLabel(mount[3] - '0') : nullptr;
    // Cut after its last backslash, the text may end inside the bracket.
    if (label != nullptr && text.size() >= mount.size() + 2) {
        text = label + text.substr(mount.size() + 2);
    }
    return text;
}

std::string WebStatusText(const WebDownloadItem &item) {
    if (item.status == 4) {
        if (item.lastSize == item.size) return "Finished";
        if (item.lastSize <= 0 || (item.size > 0 && item.lastSize < item.size)) return "Failed";
        return "Trying";
    }
    if (item.status == 5) return "Paused";
    if (item.size <= 0) return "Trying";
    // lastSize * 100 / size in 64 bits; beyond that range a double is near
    // enough, held within +-1e18 so that it converts back.
    int64_t percent;
    if (item.lastSize <= INT64_MAX / 100 && item.lastSize >= -(INT64_MAX / 100)) {
        percent = item.lastSize * 100 / item.size;
    } else {
        double share = static_cast<double>(item.lastSize) * 100 / static_cast<double>(item.size);
        if (share > 1e18) share = 1e18;
        if (share < -1e18) share = -1e18;
        percent = static_cast<int64_t>(share);
    }
    if (percent > 98) percent = 99;
    return std::to_string(percent) + "%";
}

// The row of an unfinished item.
static std::string WebRow(const WebDownloadItem &item, const std::string &name, int row) {
    char number[32];
    snprintf(number, sizeof(number), "\t(%d) ", row);
    std::string size = item.size > 0 ? FormatSize(static_cast<double>(item.size)) : "Unknown";
    std::string done = FormatSize(static_cast<double>(item.lastSize < 0 ? 0 : item.lastSize));
    if (done != "0") done += "B";
    return number + name + "\t\t" + size + "\t\t" + done + "\t\t" + WebStatusText(item) + "\t\t" +
           WebLocationText(item.fullPath) + "\t\t" + item.url + "\n";
}

void ProcessWebList(EventRun *run) {
    DownloadRunState *state = &run->downloads;
    if (run->settings.downloadEnable == 0) return;
    std::vector<WebDownloadItem> list;
    bool unread = false;
    LoadWebLists(&list, &unread);
    if (list.empty()) {
        if (!unread) RemoveFile("/tmp/emailWebFinishItem");
        return;
    }
    std::stable_sort(
        list.begin(), list.end(),
        [](const WebDownloadItem &a, const WebDownloadItem &b) { return a.time < b.time; });
    std::set<std::string> problems = ReadLineSet("/tmp/emailWebProblem");
    std::set<std::string> finished = ReadLineSet("/tmp/emailWebFinishItem");
    int row = 0;
    for (const WebDownloadItem &item : list) {
        std::string name = WebItemName(item);
        if (item.lastSize == item.size && item.size > 0) {
            if (finished.insert(name).second) {
                state->webFinished.push_back(name);
                state->anyFinished = 1;
            }
            continue;
        }
        state->webRows += WebRow(item, name, ++row);
        if (WebStatusText(item) == "Failed" && problems.insert(name).second) {
            state->webProblems.push_back(name);
            state->webProblem = 1;
        }
    }
}
