// output_fuzz.cpp -- a libFuzzer target over the parsers of command output and small texts.
//
// Every line of the input goes through the mount, df and repquota parsers,
// the volume label, the media folder conversion and the log line format; the
// whole input is read as "/web/javascript.js" for language numbers -1 to 3
// and as a NAS user list.
#include <stdint.h>
#include <stdio.h>

#include <sstream>
#include <string>

#include "orlinda.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::istringstream lines(text);
    std::string line;
    int started = 0, ended = 0;
    while (std::getline(lines, line)) {
        line += '\n';
        std::string device, type, mount, label, path, formatted;
        if (ParseMountLine(line.c_str(), &device, &type) == 0) QuotaVolumeLabel(type, &label);
        if (ParseDfLine(line.c_str(), &mount) == 0) QuotaVolumeLabel(mount, &label);
        RepquotaLine parsed;
        ParseRepquotaLine(line.c_str(), &started, &ended, &parsed);
        ConvertMediaFolder(line.c_str(), &path);
        FormatNasLogLine(line.c_str(), &formatted);
        WebLocationText(line);
    }
    for (int language = -1; language <= 3; language++) {
        FILE *in = fmemopen(text.empty() ? nullptr : &text[0], text.size(), "r");
        if (in == nullptr) break;
        std::string code;
        if (ParseLanguageCode(in, language, &code) == 0 && code.size() != 2) abort();
        fclose(in);
    }
    ParseNasUsers(text.c_str());
    return 0;
}
