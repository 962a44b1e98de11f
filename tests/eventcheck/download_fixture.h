// download_fixture.h -- download lists in a private root: item texts and the download fixture.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "event_fixture.h"

namespace eventtest {

using CallList = std::vector<std::string>;

inline std::string BtItemText(const std::string &target, int status, int priority = 0,
                              unsigned addTime = 1000, long long size = 1 << 20,
                              const std::string &torrent = "/t/a.torrent", int tries = 0) {
    return "\n[BtItem]\nOwnerUser=alice\nTorrentType=file\nTorrentInformation=" + torrent +
           "\nAddTime=" + std::to_string(addTime) + "\nTryCounts=" + std::to_string(tries) +
           "\nSavePath=/downloads\nTarget=" + target + "\nContents=" + target +
           "\nTotalSize=" + std::to_string(size) + "\nStatus=" + std::to_string(status) +
           "\nPriority=" + std::to_string(priority) + "\n";
}

inline std::string WebItemText(const std::string &path, long long size, int status, long long last,
                               long time, const std::string &url = "http://example.com/f") {
    return "\n[DownloadItem]\nOwnerUser=bob\nUrl2=\nUrl=" + url + "\nPath=" + path +
           "\nSize=" + std::to_string(size) + "\nStatus=" + std::to_string(status) +
           "\nLastSize=" + std::to_string(last) + "\nTime=" + std::to_string(time) + "\nCount=1\n";
}

class OrlindaDownloadTest : public EventCheckTest {
  protected:
    void SetUp() override {
        EventCheckTest::SetUp();
        Set("BT_ENABLE", "1");
        Set("DOWNLOAD_ENABLE", "1");
        Set("EMAIL_BT", "1");
    }
    // How long one whole run takes here, in microseconds, timed over a run
    // that reports a finished "warmup.iso"; tests draw kill moments from this
    // span. -1 when that run failed.
    long WarmUpRunMicroseconds() {
        Bt(5, 'C', BtItemText("warmup.iso", 5, 0, 1));
        auto begin = std::chrono::steady_clock::now();
        if (RunOrlinda() != 0) return -1;
        return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - begin)
                                     .count());
    }
    // The mails started with the subject key (kestrin.sh calls).
    size_t Mails(const std::string &subjectKey) {
        size_t count = 0;
        for (const std::string &call : CallsOf("kestrin.sh")) {
            if (call.find("$$$" + subjectKey + "'") != std::string::npos) count++;
        }
        return count;
    }
    std::string Partition(int volume, char letter) {
        return "tmp/USB" + std::to_string(volume) + "/" + letter + ":/.system_file/";
    }
    void Bt(int volume, char letter, const std::string &items) {
        Write(Partition(volume, letter) + "bt.cfg", items);
        Mkdir("mnt/USB" + std::to_string(volume) + "/" + letter + ":/.system_file");
    }
    void WebList(int volume, char letter, const std::string &items) {
        Write(Partition(volume, letter) + "download.cfg", items);
    }
    std::string Body() { return Read("nasext/main/email/emailBtDownloadOK"); }
    CallList Lookups() {
        CallList keys;
        for (const std::string &call : CallsOf("kestrin.sh")) {
            size_t at = call.find("'$$$");
            if (call.find("-onlysubject") != std::string::npos && at != std::string::npos) {
                keys.push_back(call.substr(at + 4, call.find('\'', at + 1) - at - 4));
            }
        }
        return keys;
    }
    std::string Postavel() {
        return "postavel -s '{emailBTFinishSubject}' -b " +
               Nas("/nasext/main//email/emailBtDownloadOK") + " -flag 1";
    }
};

}  // namespace eventtest
