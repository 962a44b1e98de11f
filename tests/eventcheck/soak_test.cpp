// soak_test.cpp -- the scheduler's runs over a changing state, with random kills and overlapping
// starts: every episode is reported at least once, and more than once only right after a kill.
#include <signal.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "download_fixture.h"

namespace eventtest {
namespace {

class OrlindaSoakTest : public OrlindaDownloadTest {
  protected:
    std::set<std::string> Lines(const std::string &relative) {
        std::set<std::string> lines;
        std::istringstream in(Read(relative));
        std::string line;
        while (std::getline(in, line)) lines.insert(line);
        return lines;
    }
};

TEST_F(OrlindaSoakTest, EveryEpisodeIsReportedOnceExceptRightAfterAKill) {
    std::mt19937 random(300);  // a fixed seed: the same schedule on every run of the test
    long span = WarmUpRunMicroseconds();
    ASSERT_GE(span, 0);
    // Items in the list until they are recorded as reported.
    std::map<std::string, int> finished, problems;  // name -> step it appeared
    std::map<std::string, int> finishedReports;     // name -> log lines seen
    std::map<std::string, int> killsWhilePending;   // name -> runs killed before it was recorded
    // An outage, as the runs can know it, lasts from the first down state
    // after a whole run saw the daemon up to the next whole run that sees it up.
    bool ftpObserved = false;   // a whole run saw the daemon down in this outage
    bool upObserved = true;     // a whole run saw it up since it last went down
    std::vector<int> killedAt;  // steps whose first run was killed
    int problemMails = 0, problemEpisodesMailed = 0, ftpMails = 0, ftpEpisodes = 0;
    int ftpEpisodeMails = 0, ftpRepeatsAllowed = 0, problemRepeatsAllowed = 0;
    bool ftpDown = false;
    size_t logLines = 0;
    unsigned next = 10;
    int runs = 0;
    for (int step = 0; step < 300; step++) {
        // The state changes: downloads finish or fail, the FTP daemon goes and comes back.
        if (random() % 3 == 0) finished["f" + std::to_string(next++)] = step;
        if (random() % 4 == 0) problems["p" + std::to_string(next++)] = step;
        if (random() % 6 == 0) {
            ftpDown = !ftpDown;
            if (ftpDown && upObserved) {
                ftpEpisodeMails = 0;
                ftpRepeatsAllowed = 0;
                ftpObserved = false;
            }
            if (!ftpDown) upObserved = false;
            SetRunning(ftpDown ? std::vector<std::string>{"nmbd", "smbd"} : kDaemons);
        }
        std::string list;
        for (const auto &item : finished) list += BtItemText(item.first, 5, 0, next);
        for (const auto &item : problems) list += BtItemText(item.first, 4, 0, next);
        Bt(5, 'C', list);
        ClearCalls();
        // The scheduler starts a run; now and then a second one at once, or a
        // watchdog kills the run at a random moment.
        int mode = static_cast<int>(random() % 5);
        bool killed = false;
        if (mode == 0) {
            pid_t run = StartOrlinda();
            usleep(static_cast<useconds_t>(random() % static_cast<unsigned long>(span + 1)));
            killed = kill(run, SIGKILL) == 0 && WaitOrlinda(run) == -1;
            runs++;
        } else if (mode == 1) {
            pid_t first = StartOrlinda(), second = StartOrlinda();
            EXPECT_EQ(0, WaitOrlinda(first));
            EXPECT_EQ(0, WaitOrlinda(second));
            runs += 2;
        } else {
            EXPECT_EQ(0, WaitOrlinda(StartOrlinda()));
            runs++;
        }
        ReapAll();
        if (killed) {
            for (const auto &item : finished) killsWhilePending[item.first]++;
            killedAt.push_back(step);
            ftpRepeatsAllowed++;
            problemRepeatsAllowed++;
        }
        // Finished downloads: one log line per report.
        std::vector<std::string> log = NasLogLines();
        for (size_t i = logLines; i < log.size(); i++) {
            size_t open = log[i].find("[f"), close = log[i].rfind(']');
            if (open != std::string::npos) {
                finishedReports[log[i].substr(open + 1, close - open - 1)]++;
            }
        }
        logLines = log.size();
        std::set<std::string> recorded = Lines("tmp/emailBtFinishItem");
        for (auto item = finished.begin(); item != finished.end();) {
            item = recorded.count(item->first) ? finished.erase(item) : std::next(item);
        }
        // Problems: a mail in the run that records them (or before it).
        size_t mails = Mails("emailBTDownloadSubject");
        problemMails += static_cast<int>(mails);
        std::set<std::string> problemRecorded = Lines("tmp/emailBTProblem");
        bool anyRecorded = false;
        for (auto item = problems.begin(); item != problems.end();) {
            if (problemRecorded.count(item->first)) {
                anyRecorded = true;
                item = problems.erase(item);
            } else {
                item = std::next(item);
            }
        }
        if (anyRecorded) {
            EXPECT_GE(mails, 1u) << "step " << step << ": a problem recorded without a mail";
            problemEpisodesMailed++;
        }
        // The FTP daemon: one mail per outage.
        size_t ftp = Mails("emailFTPSubject");
        ftpMails += static_cast<int>(ftp);
        ftpEpisodeMails += static_cast<int>(ftp);
        EXPECT_LE(ftpEpisodeMails, 1 + ftpRepeatsAllowed) << "step " << step;
        if (ftpDown && !killed) ftpObserved = true;
        if (!ftpDown && !killed && !upObserved) {
            upObserved = true;
            if (ftpObserved) {
                ftpEpisodes++;
                EXPECT_GE(ftpEpisodeMails, 1) << "step " << step << ": an outage never mailed";
            }
        }
    }
    // The last runs leave nothing unreported.
    ClearCalls();
    ASSERT_EQ(0, RunOrlinda());
    ASSERT_EQ(0, RunOrlinda());
    for (const auto &item : finished) ADD_FAILURE() << item.first << " never recorded";
    for (const auto &item : problems) ADD_FAILURE() << item.first << " never recorded";
    std::vector<std::string> log = NasLogLines();
    for (size_t i = logLines; i < log.size(); i++) {
        size_t open = log[i].find("[f"), close = log[i].rfind(']');
        if (open != std::string::npos) finishedReports[log[i].substr(open + 1, close - open - 1)]++;
    }
    int repeats = 0;
    for (const auto &report : finishedReports) {
        EXPECT_LE(report.second, 1 + killsWhilePending[report.first]) << report.first;
        repeats += report.second - 1;
    }
    EXPECT_LE(repeats, static_cast<int>(killedAt.size()));
    EXPECT_LE(problemMails, problemEpisodesMailed + static_cast<int>(killedAt.size()));
    EXPECT_GE(ftpMails, ftpEpisodes);
    EXPECT_GE(ftpEpisodes, 10);
    EXPECT_GE(next - 10, 100u);  // the schedule made plenty of episodes
    RecordProperty("runs", runs);
    RecordProperty("kills", static_cast<int>(killedAt.size()));
}

}  // namespace
}  // namespace eventtest
