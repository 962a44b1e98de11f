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
#include "handoff_volume.h"

static const char kHandoffMarker[] = "!@][_";  // prefix of every share folder
static const char kHandoffSystemFolder[] = ".system_file/parcelo/";

// Share folders (the folder of id: tree + marker + id).
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

// A new filesId: no final share folder and no pending record has it. Call it
// under the store lock, which every creator holds, so no other process can
// take the same id before its folders are made. Returns 0, or 1 when no
// listing could be run ("Opne pipe: ...").
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

// Creates the final and the temporary folder of id (the temporary one mode
// 0777). Returns 0, or 1 when there is no shareRoot or a folder could not be
// made new.
int MakeShares(const HandoffConfig *config, const std::string &filesId);
// Fills the four names of id: the temporary share's network-path and FTP
// forms, the LAN link (with the br0 address last read by Br0Address) and the
// internet link. Returns 0.
int MakeLinks(const HandoffConfig *config, const std::string &filesId, HandoffLinks *links);

// 1 when the path (appliance form) is a folder.
int FolderExists(const std::string &path);

// Removes the folder path (appliance form) with everything in it, through
// "rm -rf" with the path mapped; the result is not examined.
void RemoveTree(const std::string &path);
