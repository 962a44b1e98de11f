// shell_command.h -- building shell command lines whose words are quoted.
//
// A command line is built piece by piece into a bounded record: fixed text of
// the program's own (the verb, fixed options, redirections, "&") goes in as it
// stands, and every word that comes from outside (a path, a name, a text read
// from a file or a client) goes in through ShellQuote, so that the program run
// receives it as one unchanged argument and nothing in it can run. A piece
// that does not fit marks the command as failed: it is then refused, never cut.
//
//   ShellCommand c;
//   ShellCommandBegin(&c, "mv");
//   ShellCommandWord(&c, from);
//   ShellCommandWord(&c, to);
//   if (ShellCommandRun(&c) != 0) ...
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <initializer_list>

// Room for a command line, terminator included: enough for several quoted
// paths of PATH_MAX characters.
enum { kShellCommandSize = 32768 };

struct ShellCommand {
    char text[kShellCommandSize];  // the command line, always terminated
    size_t length;                 // characters in text
    int failed;                    // 1 once a piece did not fit
};

// Starts command with verb as it stands ("du", "ls -l", "/bin/kestrin.sh -x").
void ShellCommandBegin(ShellCommand *command, const char *verb);

// Appends a blank and word as one single-quoted shell word.
void ShellCommandWord(ShellCommand *command, const char *word);

// Appends text as it stands, with no blank before it: the caller's own fixed
// text (" 2>/dev/null", " &", "=", a double quote). Never text from outside.
void ShellCommandText(ShellCommand *command, const char *text);

// Appends word as a quoted shell word with no blank before it, for a word
// glued to fixed text ("--name=" then the quoted name).
void ShellCommandGlue(ShellCommand *command, const char *word);

// Begin with verb, then one ShellCommandWord per word. Returns 0, or 1 when
// the command does not fit.
int BuildShellCommand(ShellCommand *command, const char *verb,
                      std::initializer_list<const char *> words);

// The command line, or null when the command failed to fit.
const char *ShellCommandLine(const ShellCommand *command);

// Runs the command through the shell as RunShellCommand does. Returns its exit
// status, or -1 when it failed to fit (nothing is run) or could not be run.
int ShellCommandRun(const ShellCommand *command);

// Runs the command and hands each line of its standard output to onLine (the
// line with its newline, terminated; a read cut short by a signal is taken up
// again, so lines are never split). onLine returns 0 to go on, 1 to stop
// reading. Returns the command's exit status, or -1 when it failed to fit or
// could not be started.
int ShellCommandReadLines(const ShellCommand *command,
                          int (*onLine)(void *context, const char *line, size_t length),
                          void *context);
