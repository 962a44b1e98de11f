// shell.h -- running the shell commands that do the file-system chores.
//
// Every text that reaches a shell goes through ShellQuote; nothing is quoted by
// hand (command lines are built with shell_command.h). Commands run through
// /bin/sh as system() and popen() do; their output is read line by line with
// ReadOutputLine or ReadOutputLines.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

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

// Reads the next line of a command's output as getline does (the line with
// its newline, terminated, *line grown as needed), but a read cut short by a
// signal is taken up again and its pieces joined: tarsel's handlers do not
// restart system calls, and a request arriving during a check must not cut a
// line in two or end the output early. Returns the line's length, or -1 at
// the end of the output or on another read error.
ssize_t ReadOutputLine(char **line, size_t *capacity, FILE *in);

// A line reader: takes one line of a command's output (with its newline,
// terminated) and returns 0 to go on, 1 to stop reading.
typedef int (*OutputLineReader)(void *context, const char *line, size_t length);

// Hands each line of in, read with ReadOutputLine, to takeLine until the
// output ends or takeLine returns 1.
void ReadOutputLines(FILE *in, OutputLineReader takeLine, void *context);
