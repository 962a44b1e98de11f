// quota_fuzz.cpp -- a libFuzzer target over the quota file readers and the notice file rewrite.
//
// Byte 0 chooses (modulo 3): 0 a user quota file, 1 a team quota file (with
// the user file's defaults resolved as the check does), 2 a notice file
// rewritten for the name on its first line, kind and frequency from byte 0.
// The rest is the file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "orlinda.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    FILE *in = fmemopen(text.empty() ? nullptr : &text[0], text.size(), "r");
    if (in == nullptr) return 0;
    std::vector<std::string> users = ParseNasUsers("alice,bob,,carol,Anonymous");
    QuotaFiles files;
    switch (data[0] % 3) {
        case 0:
            ReadQuotaUserFile(in, users, &files);
            for (const QuotaUserEntry &user : files.users) {
                if (user.index < 0 || static_cast<size_t>(user.index) >= users.size()) abort();
                QuotaReached(user.section, user.section.warningLevel * 1000);
            }
            break;
        case 1:
            ReadQuotaTeamFile(in, users, &files);
            for (const QuotaTeamEntry &team : files.teams) {
                for (int member : team.members) {
                    if (member < 0 || static_cast<size_t>(member) >= users.size()) abort();
                }
                QuotaReached(team.section, INT64_MAX);
                QuotaReached(team.section, INT64_MIN);
            }
            break;
        default: {
            std::string name = text.substr(0, text.find('\n'));
            char *buffer = nullptr;
            size_t length = 0;
            FILE *out = open_memstream(&buffer, &length);
            int first = 0;
            RewriteQuotaNotice(in, out, name.c_str(), (data[0] >> 2) & 1, (data[0] >> 3) & 1,
                               1765368000, &first);
            fclose(out);
            free(buffer);
            break;
        }
    }
    fclose(in);
    return 0;
}
