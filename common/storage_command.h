// storage_command.h -- the shell commands of the storage check, built with
// their path quoted by ShellQuote.
#pragma once

#include <string>

// "VERB 'path'" with path as one single-quoted shell word (a single quote in
// it written as '\''). Built to the length it needs, so a long recording root
// or file name is neither cut nor refused.
std::string QuotedCommand(const char *verb, const std::string &path);
