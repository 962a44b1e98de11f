// lists_fuzz.cpp -- a libFuzzer target over the download list readers.
//
// Byte 0 chooses the reader (modulo 3): 0 "bt.cfg" (every item then ranked
// into the 32-item list), 1 "download.cfg" (every item's location and status
// text formed), 2 "/tmp/bt.pid" (looked up for a torrent named by the first
// line). The rest is the file.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "orlinda.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    FILE *in = fmemopen(text.empty() ? nullptr : &text[0], text.size(), "r");
    if (in == nullptr) return 0;
    switch (data[0] % 3) {
        case 0: {
            std::vector<BtItem> items, list;
            ReadBtItems(in, 1 + data[0] % 8, 'C', &items);
            for (const BtItem &item : items) InsertBtItem(&list, item);
            if (list.size() > BT_LIST_CAPACITY) abort();
            for (size_t i = 1; i < list.size(); i++) {
                if (BtRanksBefore(list[i], list[i - 1])) abort();
            }
            for (const BtItem &item : list) FormatBtSize(item.totalSize);
            break;
        }
        case 1: {
            std::vector<WebDownloadItem> items;
            ReadWebItems(in, 1 + data[0] % 8, 'Q', &items);
            for (const WebDownloadItem &item : items) {
                WebLocationText(item.fullPath);
                WebStatusText(item);
                FormatSize(static_cast<double>(item.size));
            }
            break;
        }
        default: {
            std::string torrent = text.substr(0, text.find('\n'));
            long pid = 0;
            std::string file;
            FindBtPid(in, torrent, &pid, &file);
            break;
        }
    }
    fclose(in);
    return 0;
}
