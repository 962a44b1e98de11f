// main.cpp -- vidula, the camera recorder: options, start-up, the loop.
#include <stdio.h>
#include <time.h>

#include "logging.h"
#include "program_options.h"
#include "recorder.h"
#include "startup_repair.h"

int main(int argc, char **argv) {
    InitLogging("VIDULA");
    static char configPath[CONFIG_PATH_SIZE];
    if (ReadProgramOptions(argc, argv, {"c:hv", 0}, configPath) != 0) return 1;

    RecorderContext ctx;
    Init(&ctx, configPath);
    struct tm start;
    localtime_r(&ctx.startTime.tv_sec, &start);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Start at time [%04d/%02d/%02d %02d:%02d:%02d]",
             start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, start.tm_hour, start.tm_min,
             start.tm_sec);
    // The files a killed run left are finished before this run opens one.
    RepairPreviousRecordings(&ctx);
    // A disk manager that cannot be started ends vidula in order (status 1).
    if (StartDiskManager(&ctx) == -1) Shutdown(&ctx);
    return RunMainLoop(&ctx);
}
