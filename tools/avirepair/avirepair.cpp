// avirepair.cpp -- finishes the recordings a person names: the files a
// killed recorder left with their in-progress header and no index become
// finished, indexed recordings with their start-and-end names.
//
//   avirepair [-n] FILE...
//
// Prints per file what was kept and cut. A file that cannot be read as a
// recording, or that a running recorder still writes, is left untouched with
// a message on standard error, and the status is then 1. -n only reports.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "avi_repair.h"

static void PrintUsage(FILE *out) {
    fprintf(out,
            "usage: avirepair [-n] FILE...\n"
            "Finishes AVI recordings left by a recorder that was killed: keeps every\n"
            "complete frame, cuts a torn tail, writes the index and the final header and\n"
            "renames FILE_.avi to its start-and-end name (never over another file).\n"
            "  -n  only report what would be done\n");
}

// The name part of what the file is called after, and whether the end time
// had to move because its natural name was taken.
static void PrintName(const char *path, const AviRepairResult *r, bool dryRun) {
    if (r->renamed) {
        printf("; %s %s", dryRun ? "would be renamed to" : "renamed to", r->finalName);
        if (r->nameTaken) printf(" (a later end time: the name for its frames is taken)");
    } else if (r->nameTaken) {
        printf("; keeps its name: every start-and-end name for it is taken");
    } else if (strcmp(r->finalName, path) == 0) {
        printf("; keeps its name");
    }
}

static int RepairOne(const char *path, bool dryRun) {
    AviRepairResult r;
    RepairAviRecording(path, dryRun ? AVI_REPAIR_DRY_RUN : 0, &r);
    const AviScan &s = r.scan;
    switch (r.outcome) {
        case AVI_REPAIR_FINISHED:
            printf("%s: %s %d frames (%d with data, %dx%d at %g fps), %s %llu bytes", path,
                   dryRun ? "would keep" : "kept", s.frameCount, s.dataFrames, s.width, s.height,
                   s.fps, dryRun ? "would cut" : "cut",
                   static_cast<unsigned long long>(s.cutBytes));
            PrintName(path, &r, dryRun);
            printf("\n");
            return 0;
        case AVI_REPAIR_ALREADY_FINISHED:
            printf("%s: already finished, %d frames (%d with data)", path, s.frameCount,
                   s.dataFrames);
            PrintName(path, &r, dryRun);
            printf("\n");
            return 0;
        case AVI_REPAIR_REMOVED:
            printf("%s: no complete frame, %s\n", path, dryRun ? "would be removed" : "removed");
            return 0;
        case AVI_REPAIR_REFUSED:
            fprintf(stderr, "avirepair: %s: not repaired, %s%s%s\n", path, AviScanText(s.status),
                    s.status == AVI_SCAN_READ_ERROR ? ": " : "",
                    s.status == AVI_SCAN_READ_ERROR ? strerror(r.systemError) : "");
            return 1;
        case AVI_REPAIR_BUSY:
            fprintf(stderr, "avirepair: %s: not repaired, a running recorder is writing it\n",
                    path);
            return 1;
        default:
            fprintf(stderr, "avirepair: %s: cannot %s it: %s\n", path, r.failure,
                    strerror(r.systemError));
            return 1;
    }
}

int main(int argc, char **argv) {
    bool dryRun = false;
    int option;
    while ((option = getopt(argc, argv, "nh")) != -1) {
        switch (option) {
            case 'n':
                dryRun = true;
                break;
            case 'h':
                PrintUsage(stdout);
                return 0;
            default:
                PrintUsage(stderr);
                return 1;
        }
    }
    if (optind >= argc) {
        PrintUsage(stderr);
        return 1;
    }
    int status = 0;
    for (int i = optind; i < argc; i++) {
        if (RepairOne(argv[i], dryRun) != 0) status = 1;
        fflush(stdout);
    }
    return status;
}
