// handoff_store.cpp -- the system folder's lock, journal and pending-record claims.
#include "handoff_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handoff_files.h"
#include "nas_path.h"
#include "text_file.h"
#include "whole_io.h"

static std::string JournalPath(const HandoffConfig *config) {
    return SystemFolderFile(config, "parcelo.journal");
}

// Carries out the journal's lines: "rename\tFROM\tTO" and "unlink\tPATH", real
// paths. A rename whose scratch file is gone was done before the kill.
static void ReplayJournal(const std::string &text) {
    for (const std::string &line : SplitLines(text)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string verb = line.substr(0, tab), rest = line.substr(tab + 1);
        if (verb == "unlink") {
            unlink(rest.c_str());
        } else if (verb == "rename") {
            size_t second = rest.find('\t');
            if (second == std::string::npos) continue;
            std::string from = rest.substr(0, second);
            if (access(from.c_str(), F_OK) == 0)
                rename(from.c_str(), rest.substr(second + 1).c_str());
        }
    }
}

// Flushes the system folder, so that the renames and removals just made
// survive a power cut before the journal that describes them is removed.
static void SyncSystemFolder(const HandoffConfig *config) {
    int fd = open(NasPath(SystemFolderFile(config, "").c_str()).c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

int HandoffStoreLock(const HandoffConfig *config) {
    if (config->shareRoot.empty()) return -1;
    std::string parent = NasPath((config->shareRoot + ".system_file").c_str());
    std::string folder = NasPath(SystemFolderFile(config, "").c_str());
    mkdir(parent.c_str(), 0777);
    mkdir(folder.c_str(), 0777);
    int fd = TextFileLock(SystemFolderFile(config, "parcelo.lock"));
    if (fd < 0) return -1;
    std::string journal;
    if (ReadTextFile(JournalPath(config), &journal) == 0) {
        ReplayJournal(journal);
        SyncSystemFolder(config);
        unlink(NasPath(JournalPath(config).c_str()).c_str());
    }
    return fd;
}

void HandoffStoreUnlock(int fd) { TextFileUnlock(fd); }

// Writes the journal whole by rename. It is not flushed: it guards against a
// killed process, while the files it names are flushed themselves and the
// folder is flushed once the change is made.
static int WriteJournal(const HandoffConfig *config, const std::string &journal) {
    std::string path = NasPath(JournalPath(config).c_str());
    std::string scratch = path + ".new";
    int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    int bad = WriteAll(fd, journal.data(), journal.size()) != 0;
    bad |= close(fd) != 0;
    if (bad || rename(scratch.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(scratch.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

int HandoffStoreCommit(const HandoffConfig *config, const HandoffChange *change) {
    std::vector<std::string> scratches;
    std::string journal;
    for (const auto &w : change->writes) {
        std::string scratch;
        if (PrepareTextFile(w.first, w.second, &scratch) != 0) {
            int saved = errno;
            for (const std::string &s : scratches) unlink(s.c_str());
            errno = saved;
            return -1;
        }
        scratches.push_back(scratch);
        journal += "rename\t" + scratch + "\t" + NasPath(w.first.c_str()) + "\n";
    }
    for (const std::string &r : change->removals) journal += "unlink\t" + NasPath(r.c_str()) + "\n";
    if (WriteJournal(config, journal) != 0) {
        int saved = errno;
        for (const std::string &s : scratches) unlink(s.c_str());
        errno = saved;
        return -1;
    }
    ReplayJournal(journal);
    SyncSystemFolder(config);
    unlink(NasPath(JournalPath(config).c_str()).c_str());
    return 0;
}

static int PendingLock(const HandoffConfig *config, const std::string &filesId, int command,
                       struct flock *lock) {
    int fd = open(NasPath(PendingRecordPath(config, filesId).c_str()).c_str(),
                  O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    memset(lock, 0, sizeof(*lock));
    lock->l_type = F_WRLCK;
    lock->l_whence = SEEK_SET;
    int result = fcntl(fd, command, lock);
    if (command == F_GETLK || result != 0) {
        close(fd);
        return result;
    }
    return fd;  // kept open: closing it would end the claim
}

long PendingRecordClaimant(const HandoffConfig *config, const std::string &filesId) {
    struct flock lock;
    if (PendingLock(config, filesId, F_GETLK, &lock) != 0) return 0;
    return lock.l_type == F_UNLCK ? 0 : static_cast<long>(lock.l_pid);
}

int ClaimPendingRecord(const HandoffConfig *config, const std::string &filesId) {
    struct flock lock;
    return PendingLock(config, filesId, F_SETLK, &lock) >= 0 ? 0 : -1;
}
