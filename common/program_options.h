// program_options.h -- the command line of vidula and tarsel: the options,
// the usage text and the version; and the environment's time settings.
//
// Both programs take -c <config_filename>, -h and -v and print the same usage
// text with their own name (gLogging.programName) and the one version below.
#pragma once

// The version both programs print: "1.2.7".
extern const char *const kProgramVersion;

// How one program reads its options.
struct ProgramOptionRules {
    // getopt letters: "c:hv" and any letter the program knows only to report
    // as unknown (tarsel's "e:").
    const char *letters;
    // 1: -h or an unknown option prints the usage and ends at once (tarsel);
    // 0: the rest of the command line is read first (vidula, so a -v after -h
    // still says so).
    int endAtFirstUsage;
};

// Reads the options of argv: -c copies its argument into configPath
// (CONFIG_PATH_SIZE bytes), -v enters verbose mode, -h asks for the usage,
// and any other letter prints "Unknown option 'X'" and asks for it. Returns 0
// when the program may run, or 1 when it must end with status 1: the usage
// was printed (asked for, or no -c given), or a -c path did not fit ("(NAME)
// Error: config file path is longer than 1039 characters").
int ReadProgramOptions(int argc, char **argv, const ProgramOptionRules &rules, char *configPath);

// The whole seconds (0 to 86400) of the environment variable name, or
// fallback when it is unset, empty or not such a number. The daemons' fixed
// waits read their hooks with it, so tests wait on events, not the clock.
int SecondsFromEnvironment(const char *name, int fallback);
