// handoff_textfile.h -- whole text files and their lines, for the status and history files.
//
// Paths are in the appliance's form and mapped through NasPath here.
#pragma once

#include <string>
#include <vector>

// Reads the whole file into *text. Returns 0, or -1 with errno set.
int ReadTextFile(const std::string &path, std::string *text);

// Creates or replaces the file with text and flushes it to disk. Returns 0,
// or -1 with errno set.
int WriteTextFile(const std::string &path, const std::string &text);

// Appends text to the file (created when missing). Returns 0, or -1.
int AppendTextFile(const std::string &path, const std::string &text);

// The lines of text without their "\n"; a last line without one counts too.
std::vector<std::string> SplitLines(const std::string &text);

// Runs "VERB 'from' 'to'" with both paths mapped (cp, mv); the result is not
// examined, as for every chore of these files.
void MoveOrCopyFile(const char *verb, const std::string &from, const std::string &to);

// Runs "rm -rf 'path'" with the path mapped.
void RemoveTree(const std::string &path);
