// handoff_client.cpp -- handoff_client, a command-line client of parcelod's hand-off protocol.
//
//   handoff_client [-h HOST] [-p PORT] [-u USER -w PASSWORD] COMMAND [ARGS]
//
// Every command opens one connection, logs in (except charset), does its work
// and closes. Exit status: 0 done, 1 refused by the server, 2 login refused
// or share not prepared, 3 no connection or a broken reply, 64 usage.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_session.h"

static const char kUsage[] =
    "usage: handoff_client [-h HOST] [-p PORT] -u USER -w PASSWORD COMMAND [ARGS]\n"
    "commands:\n"
    "  login                          check the account\n"
    "  share NAME SIZE_KB [TYPE]      create a hand-off; prints its filesId and links\n"
    "  copy SOURCE FILESID [SIZE_KB]  copy a folder of a data volume into the hand-off,\n"
    "                                 show its progress and wait for the copy notice\n"
    "  progress FILESID SIZE_KB       show the progress of a running copy\n"
    "  kill FILESID                   stop the copy of a hand-off\n"
    "  finish FILESID                 report that the files were put in place by the client\n"
    "  abandon FILESID                delete an unfinished hand-off\n"
    "  delete FILESID                 delete the shared files of a hand-off\n"
    "  history [USER]                 print the hand-offs of USER (default: -u)\n"
    "  delete-history PATTERN         delete history records whose filesId holds PATTERN\n"
    "  charset                        print the character set of the FTP client language\n"
    "HOST defaults to $PARCELOD_HOST or 127.0.0.1, PORT to 13367.\n";

int main(int argc, char **argv) {
    ClientOptions options;
    options.host = getenv("PARCELOD_HOST") ? getenv("PARCELOD_HOST") : "127.0.0.1";
    options.port = 13367;
    int opt;
    while ((opt = getopt(argc, argv, "+h:p:u:w:")) != -1) {
        switch (opt) {
            case 'h':
                options.host = optarg;
                break;
            case 'p':
                options.port = atoi(optarg);
                break;
            case 'u':
                options.user = optarg;
                break;
            case 'w':
                options.password = optarg;
                break;
            default:
                fputs(kUsage, stderr);
                return CLIENT_USAGE;
        }
    }
    if (optind >= argc) {
        fputs(kUsage, stderr);
        return CLIENT_USAGE;
    }
    std::vector<std::string> args(argv + optind, argv + argc);
    return RunClientCommand(&options, args);
}
