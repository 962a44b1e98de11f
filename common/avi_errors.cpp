// avi_errors.cpp -- the AVI writer's error vocabulary and its reporting.
#include <stdio.h>
#include <string.h>

#include "avi_writer.h"

static const char *const kAviErrorTexts[] = {
    "aviwriter - No Error",
    "aviwriter - AVI file size limit reached",
    "aviwriter - Error opening AVI file",
    "aviwriter - Error reading from AVI file",
    "aviwriter - Error writing to AVI file",
    "aviwriter - Error writing index (file may still be useable)",
    "aviwriter - Error closing AVI file",
    "aviwriter - Operation (read/write) not permitted",
    "aviwriter - Out of memory (malloc failed)",
    "aviwriter - Not an AVI file",
    "aviwriter - AVI file has no header list (corrupted?)",
    "aviwriter - AVI file has no MOVI list (corrupted?)",
    "aviwriter - AVI file has no video data",
    "aviwriter - operation needs an index",
    // Fixed text, spelling included: the message readers of the log match.
    "aviwriter - Unkown Error",
};
static_assert(sizeof(kAviErrorTexts) / sizeof(kAviErrorTexts[0]) == AVI_ERR_UNKNOWN + 1,
              "one text per error code");

static int KnownCode() {
    return (AVI_last_error >= 0 && AVI_last_error < AVI_ERR_UNKNOWN) ? AVI_last_error
                                                                     : AVI_ERR_UNKNOWN;
}

// Codes whose cause is a failing system call.
static bool HasSystemReason(int code) { return code >= AVI_ERR_OPEN && code <= AVI_ERR_CLOSE; }

const char *AVI_error_text() {
    static char text[256];
    int code = KnownCode();
    if (!HasSystemReason(code)) return kAviErrorTexts[code];
    snprintf(text, sizeof(text), "%s - %s", kAviErrorTexts[code], strerror(AVI_last_system_error));
    return text;
}

void AVI_report_error(const char *text) {
    int code = KnownCode();
    fprintf(stderr, "%s: %s\n", text != nullptr ? text : "", kAviErrorTexts[code]);
    if (HasSystemReason(code)) fprintf(stderr, "REASON: %s\n", strerror(AVI_last_system_error));
    fflush(stderr);
}
