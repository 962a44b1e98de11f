// main.cpp -- tarsel, the disk manager: options, start-up, the loop.
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "disk_manager.h"
#include "logging.h"

static const char *const kProgramVersion = "1.2.7";

[[noreturn]] static void UsageAndExit() {
    PrintConsole("TARSEL version: %s\n", kProgramVersion);
    PrintConsole("Usage: TARSEL [options]\n");
    PrintConsole("Options:\n");
    PrintConsole("  -c\t<config_filename>\n");
    PrintConsole("  -h\tThis help message\n");
    PrintConsole("  -v\tVerbose mode (For debug only. Performace may be bad...)\n");
    PrintConsole("Terminate TARSEL: kill -TERM pid_of_TARSEL\n");
    exit(1);
}

int main(int argc, char **argv) {
    InitLogging("TARSEL");
    static char configPath[CONFIG_PATH_SIZE];
    bool haveConfig = false;
    int option;
    opterr = 0;  // unknown options are reported below, in our own words
    while ((option = getopt(argc, argv, "c:e:hv")) != -1) {
        switch (option) {
            case 'c':
                if (strlen(optarg) >= sizeof(configPath)) {
                    PrintConsole("(TARSEL) Error: config file path is longer than %d characters\n",
                                 CONFIG_PATH_SIZE - 1);
                    return 1;
                }
                snprintf(configPath, sizeof(configPath), "%s", optarg);
                haveConfig = true;
                break;
            case 'v':
                PrintConsole("TARSEL runs in verbose mode\n");
                gLogging.verbose = 1;
                break;
            case 'h':
                UsageAndExit();
            case 'e':
            default:
                PrintConsole("Unknown option '%c'\n", option == 'e' ? 'e' : optopt);
                UsageAndExit();
        }
    }
    if (!haveConfig || optind > argc) UsageAndExit();

    InstallDiskManagerSignals();
    DiskManagerContext ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.pConfig = new (std::nothrow) RecorderConfig;
    if (ctx.pConfig == nullptr) {
        LogError("fail to allocate memory for config");
        return 1;
    }
    ctx.vidulaPid = getppid();
    LoadConfig(ctx.pConfig, configPath);  // tarsel runs on with missing values
    OpenMessageQueues(ctx.pConfig->nvr_log_mq, ctx.pConfig->nvr_manager_mq,
                      ctx.pConfig->nvr_log_console);
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Executed by VIDULA(%d)", static_cast<int>(ctx.vidulaPid));
    RunDiskManager(&ctx, configPath);
}
