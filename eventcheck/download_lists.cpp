// download_lists.cpp -- reading the "bt.cfg" and "download.cfg" lists and ranking BitTorrent items.
//
// Lines are read whole, whatever their length, lose their leading blanks and
// tabs and are cut at the first CR or LF; keys are recognised by their
// prefix. Reading is linear in the input, and an item holds only the values
// used (a torrent's "Contents" lines are passed over).
#include <stdlib.h>
#include <string.h>

#include "orlinda.h"

size_t TrimListLine(char *line) {
    size_t skip = strspn(line, " \t");
    if (skip > 0) memmove(line, line + skip, strlen(line + skip) + 1);
    line[strcspn(line, "\r\n")] = '\0';
    return strlen(line);
}

// The value after key when line starts with key, else null.
static const char *ValueOf(const char *line, const char *key) {
    size_t length = strlen(key);
    return strncmp(line, key, length) == 0 ? line + length : nullptr;
}

static std::string PartitionBase(int volume, char letter) {
    char base[32];
    snprintf(base, sizeof(base), "/mnt/USB%d/%c:", volume, letter);
    return base;
}

static void TakeBtLine(const char *line, const std::string &base, BtItem *item) {
    const char *v;
    if ((v = ValueOf(line, "OwnerUser=")) != nullptr) {
        item->owner = v;
    } else if ((v = ValueOf(line, "TorrentType=")) != nullptr) {
        item->torrentType = strcmp(v, "url") == 0 ? 1 : strcmp(v, "file") == 0 ? 0 : -1;
    } else if ((v = ValueOf(line, "TorrentInformation=")) != nullptr) {
        item->torrentInformation = v[0] == '/' ? base + v : std::string(v);
    } else if ((v = ValueOf(line, "AddTime=")) != nullptr) {
        item->addTime = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    } else if ((v = ValueOf(line, "TryCounts=")) != nullptr) {
        item->tryCounts = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    } else if ((v = ValueOf(line, "SavePath=")) != nullptr) {
        item->savePath = v[0] != '\0' ? base + v : std::string();
    } else if ((v = ValueOf(line, "Target=")) != nullptr) {
        item->target = v;
    } else if ((v = ValueOf(line, "TotalSize=")) != nullptr) {
        item->totalSize = strtoll(v, nullptr, 10);
    } else if ((v = ValueOf(line, "Status=")) != nullptr) {
        item->status = atoi(v);
    } else if ((v = ValueOf(line, "Priority=")) != nullptr) {
        item->priority = atoi(v);
    }
}

void ReadBtItems(FILE *in, int volume, char letter, void (*take)(void *, const BtItem &),
                 void *context) {
    std::string base = PartitionBase(volume, letter);
    char *line = nullptr;
    size_t capacity = 0;
    bool open = false;
    BtItem item;
    while (getline(&line, &capacity, in) >= 0) {
        if (TrimListLine(line) < 2) continue;
        if (strncmp(line, "[BtItem]", 8) == 0) {
            if (open) take(context, item);
            item = BtItem();
            item.volume = volume;
            item.letter = letter;
            open = true;
        } else if (open) {
            TakeBtLine(line, base, &item);
        }
    }
    free(line);
    if (open && !item.savePath.empty()) take(context, item);
}

static void KeepBtItem(void *context, const BtItem &item) {
    static_cast<std::vector<BtItem> *>(context)->push_back(item);
}

void ReadBtItems(FILE *in, int volume, char letter, std::vector<BtItem> *items) {
    ReadBtItems(in, volume, letter, KeepBtItem, items);
}

static void TakeWebLine(const char *line, const std::string &base, WebDownloadItem *item,
                        bool *countRead) {
    const char *v;
    if ((v = ValueOf(line, "Url2=")) != nullptr) {
        item->url2 = v;
    } else if ((v = ValueOf(line, "Url=")) != nullptr) {
        item->url = v;
    } else if ((v = ValueOf(line, "Path=")) != nullptr) {
        item->fullPath = base + v;
    } else if ((v = ValueOf(line, "Size=")) != nullptr) {
        item->size = strtoll(v, nullptr, 10);
    } else if ((v = ValueOf(line, "Status=")) != nullptr) {
        item->status = atoi(v);
    } else if ((v = ValueOf(line, "LastSize=")) != nullptr) {
        item->lastSize = strtoll(v, nullptr, 10);
    } else if ((v = ValueOf(line, "Time=")) != nullptr) {
        item->time = strtol(v, nullptr, 10);
    } else if ((v = ValueOf(line, "Count=")) != nullptr) {
        item->count = atoi(v);
        *countRead = true;
    }
}

void ReadWebItems(FILE *in, int volume, char letter, std::vector<WebDownloadItem> *items) {
    std::string base = PartitionBase(volume, letter);
    char *line = nullptr;
    size_t capacity = 0;
    bool open = false;
    bool countRead = false;
    WebDownloadItem item;
    while (getline(&line, &capacity, in) >= 0) {
        if (TrimListLine(line) < 2) continue;
        if (strncmp(line, "[DownloadItem]", 14) == 0) {
            if (open) items->push_back(item);
            item = WebDownloadItem();
            item.fullPath = base;
            open = true;
            countRead = false;
        } else if (open) {
            TakeWebLine(line, base, &item, &countRead);
        }
    }
    free(line);
    if (open && countRead) items->push_back(item);
}

static bool Active(const BtItem &item) { return item.status == 1 || item.status == 2; }

bool BtRanksBefore(const BtItem &a, const BtItem &b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    if (Active(a) != Active(b)) return Active(a);
    if (a.tryCounts != b.tryCounts) return a.tryCounts < b.tryCounts;
    return a.addTime < b.addTime;
}

void InsertBtItem(std::vector<BtItem> *list, const BtItem &item) {
    size_t place = 0;
    while (place < list->size() && !BtRanksBefore(item, (*list)[place])) place++;
    if (list->size() >= BT_LIST_CAPACITY) {
        if (place >= list->size()) return;  // ranks after every kept item
        list->pop_back();
    }
    list->insert(list->begin() + static_cast<long>(place), item);
}
