// program_options.cpp -- usage text, -c and -v of vidula and tarsel.
#include "program_options.h"

#include <stdio.h>
#include <string.h>

#include "config.h"
#include "logging.h"

void PrintProgramUsage(const char *version) {
    const char *name = gLogging.programName;
    PrintConsole("%s version: %s\n", name, version);
    PrintConsole("Usage: %s [options]\n", name);
    PrintConsole("Options:\n");
    PrintConsole("  -c\t<config_filename>\n");
    PrintConsole("  -h\tThis help message\n");
    PrintConsole("  -v\tVerbose mode (For debug only. Performace may be bad...)\n");
    PrintConsole("Terminate %s: kill -TERM pid_of_%s\n", name, name);
}

int TakeConfigPath(char *out, const char *arg) {
    if (strlen(arg) >= CONFIG_PATH_SIZE) {
        PrintConsole("(%s) Error: config file path is longer than %d characters\n",
                     gLogging.programName, CONFIG_PATH_SIZE - 1);
        return 1;
    }
    snprintf(out, CONFIG_PATH_SIZE, "%s", arg);
    return 0;
}

void EnterVerboseMode() {
    PrintConsole("%s runs in verbose mode\n", gLogging.programName);
    gLogging.verbose = 1;
}
