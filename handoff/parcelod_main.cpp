// parcelod_main.cpp -- parcelod, the file hand-off server: start-up, then the listener.
//
// No options. Start-up: the flash settings store, "addgroup PARCELO+", the
// configuration file, the listener on port 13367; then it accepts for ever.
#include <signal.h>
#include <stdio.h>

#include "flash_settings.h"
#include "handoff_config.h"
#include "handoff_server.h"
#include "shell_command.h"

int main(void) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (FlashSettingsInit() != 1) {
        printf("Initialize settings store failed!\n");
        return 1;
    }
    ShellCommand c;
    ShellCommandBegin(&c, "addgroup PARCELO+");
    ShellCommandRun(&c);
    HandoffConfig config = HandoffConfig();
    if (LoadConfiguration(&config) != 0) {
        printf("Error: Read config file error\n");
        return 1;
    }
    HandoffTiming timing;
    HandoffTimingFromEnvironment(&timing);
    int listenFd = OpenHandoffListener(kHandoffPort);
    if (listenFd < 0) return 0;
    RunHandoffListener(&config, &timing, listenFd);
    return 0;
}
