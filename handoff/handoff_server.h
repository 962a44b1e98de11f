// handoff_server.h -- parcelod's listener and its connection processes.
//
// The listener accepts on TCP port 13367 and forks one connection process per
// client; it closes its own copy of every accepted socket and, from the first
// fork on, ignores SIGCHLD so that ended connections leave no zombies. SIGHUP
// re-reads the configuration in the process that receives it (the listener:
// for connections accepted afterwards). A connection process reads requests
// until the client closes, a read fails, an unknown code arrives or the
// client stays silent for the idle time (SIGALRM ends the process).
#pragma once

#include "handoff_config.h"

static const int kHandoffPort = 13367;
static const int kHandoffBacklog = 5;

// Timing of connection processes; the environment may shorten both for
// tests (PARCELOD_IDLE_SECONDS, PARCELOD_RETRY_SECONDS).
struct HandoffTiming {
    unsigned idleSeconds;   // 300
    unsigned retrySeconds;  // 30
};
void HandoffTimingFromEnvironment(HandoffTiming *timing);

// Creates, binds (all addresses, port), sets address reuse, reads back and
// listens. Returns the socket, or -1 after printing the step's word and the
// system error ("Create", "Bind", "Setsockopt", "Get socket name", "Listen").
int OpenHandoffListener(int port);

// Serves one client on sock to its end; closes sock. Never returns an error:
// every end of a connection is an ordinary one.
void ServeHandoffConnection(const HandoffConfig *config, const HandoffTiming *timing, int sock);

// Accepts and forks for ever.
void RunHandoffListener(HandoffConfig *config, const HandoffTiming *timing, int listenFd);
