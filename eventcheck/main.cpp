// main.cpp -- orlinda: runs every event check once, in a fixed order, and exits.
//
// Exit status 0 after a run, 255 (-1) when the settings store cannot be
// initialised; nothing is started and no file touched then.
#include <stdio.h>

#include "nas_path.h"
#include "orlinda.h"

int RunEventChecks(void) {
    if (InitSettings() != 1) return -1;
    CheckLedWarnings();
    CheckFsckMail();
    DownloadRunState downloads;
    RunDownloadStep(&downloads);
    CheckQuotas();
    // While "/tmp/nocourseflag" exists the daemon, media, music and problem checks rest.
    FILE *pause = fopen(NasPath("/tmp/nocourseflag").c_str(), "r");
    if (pause != nullptr) {
        fclose(pause);
        return 0;
    }
    CheckSambaDaemons();
    CheckFtpDaemon();
    CheckMediaServer();
    CheckMediaFolders();
    CheckMusicServer();
    MailDownloadProblem(1, downloads.btProblem);
    MailDownloadProblem(0, downloads.webProblem);
    return 0;
}

int main(void) {
    // Output of the checks and of the commands they start keeps its order.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return RunEventChecks();
}
