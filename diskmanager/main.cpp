// main.cpp -- tarsel, the disk manager: options, start-up, the loop.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "disk_manager.h"
#include "logging.h"
#include "program_options.h"

int main(int argc, char **argv) {
    InitLogging("TARSEL");
    static char configPath[CONFIG_PATH_SIZE];
    if (ReadProgramOptions(argc, argv, {"c:e:hv", 1}, configPath) != 0) return 1;

    InstallDiskManagerSignals();
    DiskManagerContext ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.pConfig = new (std::nothrow) RecorderConfig;
    if (ctx.pConfig == nullptr) {
        LogError("fail to allocate memory for config");
        return 1;
    }
    ctx.vidulaPid = getppid();
    // tarsel runs on with missing values; a fatal one ends it.
    if (LoadConfig(ctx.pConfig, configPath) == CONFIG_FATAL) exit(1);
    OpenMessageQueues(ctx.pConfig->nvr_log_mq, ctx.pConfig->nvr_manager_mq,
                      ctx.pConfig->nvr_log_console);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Executed by VIDULA(%d)", static_cast<int>(ctx.vidulaPid));
    RunDiskManager(&ctx, configPath);
}
