// main.cpp -- vidula, the camera recorder: options, start-up, the loop.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "logging.h"
#include "program_options.h"
#include "recorder.h"

int main(int argc, char **argv) {
    InitLogging("VIDULA");
    static char configPath[CONFIG_PATH_SIZE];
    bool haveConfig = false;
    bool showUsage = false;
    int option;
    opterr = 0;  // unknown options are reported below, in our own words
    while ((option = getopt(argc, argv, "c:hv")) != -1) {
        switch (option) {
            case 'c':
                if (TakeConfigPath(configPath, optarg) != 0) return 1;
                haveConfig = true;
                break;
            case 'v':
                EnterVerboseMode();
                break;
            case 'h':
                showUsage = true;
                break;
            default:
                PrintConsole("Unknown option '%c'\n", optopt);
                showUsage = true;
                break;
        }
    }
    if (showUsage || !haveConfig) {
        PrintProgramUsage(kProgramVersion);
        return 1;
    }

    RecorderContext ctx;
    Init(&ctx, configPath);
    struct tm start;
    localtime_r(&ctx.startTime.tv_sec, &start);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Start at time [%04d/%02d/%02d %02d:%02d:%02d]",
             start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, start.tm_hour, start.tm_min,
             start.tm_sec);
    if (StartDiskManager(&ctx) == -1) return 1;
    return RunMainLoop(&ctx);
}
