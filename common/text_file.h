// text_file.h -- whole text files of the daemons: read, read lines, append,
// rewrite by rename, and the lock that guards a read-modify-write.
//
// Paths are in the appliance's form and mapped through NasPath here. None of
// these calls writes through a symbolic link: appends and scratch files are
// opened with O_NOFOLLOW, and a rewrite makes a new file of its own process
// beside the old one, flushes it to disk and renames it over the old name, so
// a reader sees the old or the new file, never a part of one.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Reads the whole file into *text. Returns 0, or -1 with errno set.
int ReadTextFile(const std::string &path, std::string *text);

// The lines of text without their "\n"; a last line without one counts too.
// A line is never cut, whatever its length.
std::vector<std::string> SplitLines(const std::string &text);

// Reads the file's lines as SplitLines gives them. Returns 0, or -1 with
// errno set (lines is then untouched).
int ReadTextLines(const std::string &path, std::vector<std::string> *lines);

// Appends text to the file, creating it with mode (less the umask) when it is
// missing. A symbolic link at path is refused (ELOOP). Returns 0, or -1 with
// errno set; on a short write the file may hold a part of text.
int AppendTextFile(const std::string &path, const std::string &text, mode_t mode = 0644);

// Replaces the file with text: writes a new scratch file beside it (its name
// is path + ".tmp." + this process's id), flushes it to disk, gives it the old
// file's mode (mode when there was none) and renames it over path. When any
// step fails (a full volume, say) the old file stays as it was, the scratch
// file is removed, and the result is -1 with errno set. A symbolic link at
// path is left alone and refused (ELOOP). Returns 0 on success.
int ReplaceTextFile(const std::string &path, const std::string &text, mode_t mode = 0644);

// The two halves of ReplaceTextFile, for a change of several files that is
// journalled before it is carried out: PrepareTextFile writes and flushes the
// scratch file (its real name in *scratch) and CommitTextFile renames it over
// path and flushes the folder. A failed prepare leaves no scratch file.
// Both return 0, or -1 with errno set.
int PrepareTextFile(const std::string &path, const std::string &text, std::string *scratch,
                    mode_t mode = 0644);
int CommitTextFile(const std::string &scratch, const std::string &path);

// Makes the folder path and every missing folder above it, each with mode
// (less the umask), as "mkdir -p" does. Returns 0 when path is a folder at
// the end, or -1 with errno set.
int MakeFolders(const std::string &path, mode_t mode = 0755);

// Takes an exclusive flock on the lock file at path (created when missing,
// never through a link). With wait false, a lock held elsewhere gives -1 with
// errno EWOULDBLOCK at once. Returns the descriptor that holds the lock (close
// it, or call TextFileUnlock, to give the lock back), or -1 with errno set.
int TextFileLock(const std::string &path, bool wait = true);

// Gives back a lock taken by TextFileLock (fd < 0 is ignored).
void TextFileUnlock(int fd);
