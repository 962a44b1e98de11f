// log_daemon.cpp -- a stand-in for the appliance's log daemon.
//
// Prints every LogRecord of the queue keyed from KEYPATH with its code, as
// "log: code=0xCC text=...", until SIGTERM or SIGINT.
//
//   log_daemon -q KEYPATH
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "bytes.h"
#include "logging.h"

static volatile sig_atomic_t gStop = 0;
static void OnSignal(int) { gStop = 1; }

int main(int argc, char **argv) {
    const char *keyPath = nullptr;
    int option;
    while ((option = getopt(argc, argv, "q:h")) != -1) {
        if (option == 'q')
            keyPath = optarg;
        else {
            fprintf(stderr, "usage: log_daemon -q KEYPATH\n");
            return 2;
        }
    }
    if (keyPath == nullptr) {
        fprintf(stderr, "usage: log_daemon -q KEYPATH\n");
        return 2;
    }
    key_t key = ftok(keyPath, 0x31);
    int queue = key == -1 ? -1 : msgget(key, IPC_CREAT | 0660);
    if (queue == -1) {
        fprintf(stderr, "log_daemon: cannot open the queue of %s: %s\n", keyPath, strerror(errno));
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;  // no SA_RESTART: msgrcv returns EINTR
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    LogRecord record;
    while (!gStop) {
        if (msgrcv(queue, &record, LOG_RECORD_SIZE, 0, 0) < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "log_daemon: msgrcv: %s\n", strerror(errno));
            return 1;
        }
        char text[LOG_RECORD_TEXT_SIZE + 1];
        memcpy(text, record.body + 2, LOG_RECORD_TEXT_SIZE);
        text[LOG_RECORD_TEXT_SIZE] = '\0';
        printf("log: code=0x%02x text=%s\n", GetLe16(record.body), text);
        fflush(stdout);
    }
    return 0;
}
