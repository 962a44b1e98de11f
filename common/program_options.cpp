// program_options.cpp -- options, usage text and version of vidula and tarsel.
#include "program_options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config.h"
#include "logging.h"

const char *const kProgramVersion = "1.2.7";

// "NAME version: ...", "Usage: NAME [options]" and the option lines.
static void PrintProgramUsage() {
    const char *name = gLogging.programName;
    PrintConsole("%s version: %s\n", name, kProgramVersion);
    PrintConsole("Usage: %s [options]\n", name);
    PrintConsole("Options:\n");
    PrintConsole("  -c\t<config_filename>\n");
    PrintConsole("  -h\tThis help message\n");
    // Fixed text of the usage, spelling included: scripts and manuals quote it.
    PrintConsole("  -v\tVerbose mode (For debug only. Performace may be bad...)\n");
    PrintConsole("Terminate %s: kill -TERM pid_of_%s\n", name, name);
}

// Copies the -c argument into out. Returns 0, or 1 after the error line when
// it does not fit.
static int TakeConfigPath(char *out, const char *arg) {
    if (strlen(arg) >= CONFIG_PATH_SIZE) {
        PrintConsole("(%s) Error: config file path is longer than %d characters\n",
                     gLogging.programName, CONFIG_PATH_SIZE - 1);
        return 1;
    }
    snprintf(out, CONFIG_PATH_SIZE, "%s", arg);
    return 0;
}

int ReadProgramOptions(int argc, char **argv, const ProgramOptionRules &rules, char *configPath) {
    bool haveConfig = false;
    bool showUsage = false;
    int option;
    opterr = 0;  // unknown options are reported below, in our own words
    while ((option = getopt(argc, argv, rules.letters)) != -1) {
        switch (option) {
            case 'c':
                if (TakeConfigPath(configPath, optarg) != 0) return 1;
                haveConfig = true;
                break;
            case 'v':
                PrintConsole("%s runs in verbose mode\n", gLogging.programName);
                gLogging.verbose = 1;
                break;
            case 'h':
                showUsage = true;
                break;
            default:
                // '?' for a letter getopt does not know; a known letter that
                // the program does not read is reported the same way.
                PrintConsole("Unknown option '%c'\n", option == '?' ? optopt : option);
                showUsage = true;
                break;
        }
        if (showUsage && rules.endAtFirstUsage) break;
    }
    if (showUsage || !haveConfig) {
        PrintProgramUsage();
        return 1;
    }
    return 0;
}

int SecondsFromEnvironment(const char *name, int fallback) {
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    return *end == '\0' && value >= 0 && value <= 86400 ? static_cast<int>(value) : fallback;
}
