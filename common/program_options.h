// program_options.h -- the command-line texts vidula and tarsel share.
//
// Both programs take -c <config_filename>, -h and -v and print the same usage
// text with their own name (gLogging.programName).
#pragma once

// "NAME version: ...", "Usage: NAME [options]" and the option lines.
void PrintProgramUsage(const char *version);

// Copies the -c argument into out (CONFIG_PATH_SIZE bytes). Returns 0, or 1
// after "(NAME) Error: config file path is longer than 1039 characters" when
// it does not fit.
int TakeConfigPath(char *out, const char *arg);

// -v: prints "NAME runs in verbose mode" and turns LogInfo lines on.
void EnterVerboseMode();
