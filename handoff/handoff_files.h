// handoff_files.h -- the names of parcelod's folders and files, filesIds and links.
//
// Everything lives below the target volume's root (shareRoot): the two share
// trees hold one folder per hand-off named kHandoffMarker + filesId; the
// system folder holds the status file, the pending records and the history.
// Names are returned in the appliance's form; NasPath maps them for access.
#pragma once

#include <time.h>

#include <string>

#include "handoff_config.h"

static const char kHandoffMarker[] = "!@][_";  // prefix of every share folder
static const char kHandoffStorageFolder[] = ".storage_server_parcelo/";
static const char kHandoffSystemFolder[] = ".system_file/parcelo/";

// Share trees and folders (the folder of id: tree + marker + id).
std::string TmpShareTree(const HandoffConfig *config);
std::string FinalShareTree(const HandoffConfig *config);
std::string TmpShareFolder(const HandoffConfig *config, const std::string &filesId);
std::string FinalShareFolder(const HandoffConfig *config, const std::string &filesId);

// Files of the system folder.
std::string StatusFilePath(const HandoffConfig *config);
std::string HistoryFilePath(const HandoffConfig *config);
std::string PendingRecordPath(const HandoffConfig *config, const std::string &filesId);
std::string SystemFolderFile(const HandoffConfig *config, const char *name);

// 1 when id may name a share folder or pending file: no "/", no line end,
// not "." or "..", and not empty unless allowEmpty. A client's id or pattern
// that fails this is refused, so nothing outside the share trees is touched.
int FilesIdIsSafe(const std::string &id, int allowEmpty);

// 1 when source may be copied by n2ncp: an absolute path under "/mnt/" with
// no "." or ".." component, outside the share and system folders, naming an
// existing folder whose real place is under "/mnt/" too.
int CopySourceIsAllowed(const std::string &source);

// Opens the source folder of n2ncp component by component, never following
// a symbolic link, after CopySourceIsAllowed. Returns the descriptor (a copy
// started from it reads that folder, whatever is renamed later), or -1 when
// the source is refused or a component is a link.
int OpenCopySource(const std::string &source);

// Joins two random decimal texts into 20 characters (A, then B cut or padded
// with zeros at its end), at most 20 characters.
std::string JoinFilesId(const std::string &a, const std::string &b);

// A new filesId, unique among the final share folders, whose final share
// folder is claimed (created) at once so that two processes never take the
// same id. Returns 0, or 1 when no listing could be run ("Opne pipe: ...")
// or the folder could not be made.
int MakeFilesId(const HandoffConfig *config, std::string *filesId);

// "%d/%d/%d %d:%d:%d" of local time t (year, month, day, hour, minute, second).
std::string FormatHandoffTime(time_t t);
// now + effective_days days, formatted.
std::string ExpiryTime(const HandoffConfig *config);

// The names a hand-off is reached by.
struct HandoffLinks {
    std::string tmpNetworkPath;  // "PARCELO_TMP_SHARE\!@][_ID\"
    std::string tmpFtpPath;      // "PARCELO_TMP_SHARE/!@][_ID/"
    std::string lanLink;         // "\\ADDR\PARCELO_FINAL_SHARE\!@][_ID"
    std::string internetLink;    // "ftp://ADDR/PARCELO_FINAL_SHARE/!@][_ID"
};

// Reads br0's address, creates the temporary folder of id (mode 0777; the
// final one was made by MakeFilesId); fills the network-path form and the
// LAN link. Returns 0, or 1 when there is no shareRoot or a folder is missing.
int MakeShares(HandoffConfig *config, const std::string &filesId, HandoffLinks *links);
// Fills the FTP form and the internet link. Returns 0.
int MakeLinks(const HandoffConfig *config, const std::string &filesId, HandoffLinks *links);

// 1 when the path (appliance form) is a folder.
int FolderExists(const std::string &path);
