// main.cpp -- orlinda: runs every event check once, in a fixed order, and exits.
//
// Exit status 0 after a run, 255 (-1) when the settings store cannot be
// initialised; nothing is started and no file touched then. One run at a
// time: a run holds a lock for its whole length, and a run that finds it
// held ends at once with status 0 (runs can outlast the scheduler's minute,
// and two runs at once would report one event twice).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"
#include "text_file.h"

static const char kRunLock[] = "/tmp/orlinda.lock";

// Takes the run lock. Returns its descriptor, -1 when another run holds it.
// A link planted at the lock's name is left alone; the folder "/tmp/"
// itself is locked then.
static int TakeRunLock(void) {
    int fd = TextFileLock(kRunLock, false);
    if (fd >= 0) return fd;
    if (errno == EWOULDBLOCK) return -1;
    ReportLinkRefused(kRunLock);
    fd = open(NasPath("/tmp/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return errno == EWOULDBLOCK ? -1 : -2;
    }
    return fd < 0 ? -2 : fd;
}

int RunEventChecks(void) {
    EventRun run;
    if (LoadEventSettings(&run.settings) != 1) return -1;
    if (TakeRunLock() == -1) return 0;  // held until the process ends
    CheckLedWarnings(&run);
    CheckFsckMail(&run);
    RunDownloadStep(&run);
    CheckQuotas(&run);
    // While "/tmp/nocourseflag" exists the daemon, media, music and problem
    // checks rest; problems found meanwhile stay unrecorded until mailed.
    FILE *pause = fopen(NasPath("/tmp/nocourseflag").c_str(), "r");
    if (pause != nullptr) {
        fclose(pause);
        return 0;
    }
    CheckSambaDaemons(&run);
    CheckFtpDaemon(&run);
    CheckMediaServer(&run);
    CheckMediaFolders(&run);
    CheckMusicServer(&run);
    MailDownloadProblem(&run, 1);
    MailDownloadProblem(&run, 0);
    return 0;
}

int main(void) {
    // Output of the checks and of the programs they start keeps its order.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return RunEventChecks();
}
