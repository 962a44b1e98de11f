// program_options.h -- the command line of vidula and tarsel: the options,
// the usage text and the version.
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
