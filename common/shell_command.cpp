// shell_command.cpp -- bounded command lines with quoted words.
#include "shell_command.h"

#include <stdlib.h>
#include <string.h>

#include "shell.h"

static void Append(ShellCommand *command, const char *text, size_t length) {
    if (command->failed) return;
    if (command->length + length >= sizeof(command->text)) {
        command->failed = 1;
        return;
    }
    memcpy(command->text + command->length, text, length);
    command->length += length;
    command->text[command->length] = '\0';
}

void ShellCommandBegin(ShellCommand *command, const char *verb) {
    command->length = 0;
    command->failed = 0;
    command->text[0] = '\0';
    ShellCommandText(command, verb);
}

void ShellCommandText(ShellCommand *command, const char *text) {
    if (text == nullptr) text = "";
    Append(command, text, strlen(text));
}

void ShellCommandGlue(ShellCommand *command, const char *word) {
    if (command->failed) return;
    size_t room = sizeof(command->text) - command->length;
    if (ShellQuote(command->text + command->length, room, word) != 0) {
        command->text[command->length] = '\0';
        command->failed = 1;
        return;
    }
    command->length += strlen(command->text + command->length);
}

void ShellCommandWord(ShellCommand *command, const char *word) {
    Append(command, " ", 1);
    ShellCommandGlue(command, word);
}

int BuildShellCommand(ShellCommand *command, const char *verb,
                      std::initializer_list<const char *> words) {
    ShellCommandBegin(command, verb);
    for (const char *word : words) ShellCommandWord(command, word);
    return command->failed ? 1 : 0;
}

const char *ShellCommandLine(const ShellCommand *command) {
    return command->failed ? nullptr : command->text;
}

int ShellCommandRun(const ShellCommand *command) {
    const char *line = ShellCommandLine(command);
    if (line == nullptr) return -1;
    return RunShellCommand(line);
}

int ShellCommandReadLines(const ShellCommand *command,
                          int (*onLine)(void *context, const char *line, size_t length),
                          void *context) {
    const char *text = ShellCommandLine(command);
    if (text == nullptr) return -1;
    FILE *pipe = OpenShellOutput(text);
    if (pipe == nullptr) return -1;
    ReadOutputLines(pipe, onLine, context);
    return CloseShellOutput(pipe);
}
