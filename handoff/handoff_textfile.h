// handoff_textfile.h -- whole text files and their lines, for the status and history files.
//
// Paths are in the appliance's form and mapped through NasPath here.
#pragma once

#include <string>
#include <vector>

#include "text_file.h"

// Creates or replaces the file with text and flushes it to disk. Returns 0,
// or -1 with errno set.
int WriteTextFile(const std::string &path, const std::string &text);

// Runs "VERB 'from' 'to'" with both paths mapped (cp, mv); the result is not
// examined, as for every chore of these files.
void MoveOrCopyFile(const char *verb, const std::string &from, const std::string &to);

// Runs "rm -rf 'path'" with the path mapped.
void RemoveTree(const std::string &path);
