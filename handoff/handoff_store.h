// handoff_store.h -- the lock and the journalled changes of parcelod's system folder.
//
// Connection and copy processes change the status file, the history and the
// pending records only while they hold one flock on "parcelo.lock" in the
// system folder, and only for the read-modify-write itself. A change is a set
// of whole files to write and files to remove: every new file is written as a
// scratch file of this process and flushed, then the list of renames and
// removals is written to "parcelo.journal" (itself by rename), carried out,
// the folder flushed and the journal removed. A process killed in the middle
// leaves the journal, which the next holder of the lock carries out before
// anything else, so the files are always all old or all new, never a mix and
// never a part; after a power cut each file is old or new and whole.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "handoff_config.h"

// One change of the system folder (paths in the appliance's form).
struct HandoffChange {
    std::vector<std::pair<std::string, std::string>> writes;  // path, whole new text
    std::vector<std::string> removals;                        // after the writes
};

// Takes the lock (creating the system folder and the lock file when they are
// missing) and completes a journal left by a killed holder. Returns the
// descriptor that holds the lock, or -1 (no shareRoot, or the folder cannot
// be made).
int HandoffStoreLock(const HandoffConfig *config);
void HandoffStoreUnlock(int fd);

// REQUIRES: the lock is held. Carries out change as described above.
// Returns 0, or -1 when a new file cannot be written (a full volume): then
// nothing has changed.
int HandoffStoreCommit(const HandoffConfig *config, const HandoffChange *change);

// The pid of the copy process that holds filesId's pending record (an n2ncp
// copy claims it with a write lock for its whole run), 0 when none does.
long PendingRecordClaimant(const HandoffConfig *config, const std::string &filesId);

// Claims filesId's pending record for this process. Returns 0, or -1 when it
// is missing or claimed elsewhere. The claim ends when this process closes
// any descriptor of the file, or ends.
int ClaimPendingRecord(const HandoffConfig *config, const std::string &filesId);
