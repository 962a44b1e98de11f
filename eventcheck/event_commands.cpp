// event_commands.cpp -- the LED tool and the mail script.
//
// The mail script receives the arguments its shell command lines gave it:
// the key words with their "$$$" prefix, and every path or text from outside
// as one unchanged argument.
#include "nas_path.h"
#include "orlinda.h"

void StartLed(void) { RunProgram({"glimmet", "333333", "6"}, false); }

// The first line of the output, kept as first[0]; later lines are passed over.
static void KeepFirstLine(void *context, const std::string &line) {
    std::vector<std::string> *first = static_cast<std::vector<std::string> *>(context);
    if (first->empty()) first->push_back(line);
}

std::string LookupMailText(int language, const char *key) {
    std::vector<std::string> first;
    if (ReadProgramLines({"kestrin.sh", "-l", std::to_string(language), "-s",
                          std::string("$$$") + key, "-var", NasPath(MAIL_VAR_FILE), "-onlysubject"},
                         KeepFirstLine, &first) < 0 ||
        first.empty()) {
        return std::string();
    }
    return first[0];
}

int StartMail(int language, const char *subjectKey, const std::string &body,
              const std::string &eventPath, int flag, const std::string &address) {
    std::vector<std::string> argv = {"kestrin.sh",
                                     "-l",
                                     std::to_string(language),
                                     "-s",
                                     std::string("$$$") + subjectKey,
                                     "-b",
                                     body,
                                     "-p",
                                     NasPath(eventPath.c_str()),
                                     "-var",
                                     NasPath(MAIL_VAR_FILE),
                                     "-flag",
                                     flag == 0 ? "0" : "1"};
    if (!address.empty()) {
        for (const char *word : {"-t", address.c_str(), "-head", "1"}) argv.push_back(word);
    }
    return RunProgram(argv, false) == 0 ? 0 : 1;
}

int StartKeyMail(int language, const char *subjectKey, const char *bodyKey,
                 const std::string &eventPath, int flag) {
    return StartMail(language, subjectKey, std::string("$$$") + bodyKey, eventPath, flag,
                     std::string());
}
