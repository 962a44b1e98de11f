// shell.h -- running the shell commands that do the file-system chores.
//
// Every text that reaches a shell goes through ShellQuote; nothing is quoted by
// hand. Commands run through /bin/sh as system() and popen() do.
#pragma once

#include <stddef.h>
#include <stdio.h>

// Writes text into out as one single-quoted shell word: 'text', with every
// single quote written as '\''. Blanks, "$", backquotes and quotes inside the
// text stay plain characters. Returns 0, or 1 when the word does not fit in
// outSize bytes (out then holds an empty string).
int ShellQuote(char *out, size_t outSize, const char *text);

// Runs command through the shell and waits for it. Returns the command's exit
// status (0 to 255), or -1 when no shell could be run or the command was ended
// by a signal.
int RunShellCommand(const char *command);

// Starts command through the shell with its standard output readable from the
// returned stream (null when it cannot be started), and closes such a stream,
// returning the exit status as RunShellCommand does.
FILE *OpenShellOutput(const char *command);
int CloseShellOutput(FILE *stream);
