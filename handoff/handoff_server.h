// handoff_server.h -- parcelod's listener and its connection processes.
//
// The listener accepts on TCP port 13367 and forks one connection process per
// client, up to the limits below; it closes its own copy of every accepted
// socket and reaps ended connections from its loop. SIGHUP
// re-reads the configuration in the process that receives it (the listener:
// for connections accepted afterwards). A connection process reads requests
// until the client closes, a read fails, an unknown code arrives, a login
// fails too often, or a request does not arrive whole within the idle time
// (SIGALRM ends the process); it reaps its copy processes as they end.
#pragma once

#include <sys/socket.h>

#include "handoff_config.h"

static const int kHandoffPort = 13367;
static const int kHandoffBacklog = SOMAXCONN;  // the system's usual backlog

// Connection processes at once, in all and from one address: far above what
// a household's clients need, so that only a flood is refused.
static const int kHandoffMaxConnections = 64;
static const int kHandoffMaxPerAddress = 32;

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
