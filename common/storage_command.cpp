// storage_command.cpp -- quoted shell commands of the storage check.
#include "storage_command.h"

#include <vector>

#include "shell.h"

std::string QuotedCommand(const char *verb, const std::string &path) {
    // Each character takes at most four in the quoted word ("'\''"), plus the
    // two enclosing quotes and the terminator.
    std::vector<char> word(path.size() * 4 + 3);
    ShellQuote(word.data(), word.size(), path.c_str());
    return std::string(verb) + " " + word.data();
}
