// handoff_connection.h -- one client connection of parcelod: its record, replies and commands.
//
// Each accepted connection is served by a process of its own, which reads
// requests (handoff_packet.h) one after the other and answers each with one
// reply; an n2ncp copy runs in a further process that sends, when the copy
// has ended, the copy notice (never inside another reply).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "handoff_config.h"
#include "handoff_packet.h"

// connectionState values.
enum {
    HANDOFF_NOT_LOGGED_IN = 0,
    HANDOFF_LOGGED_IN = 1,
    HANDOFF_COPY_STARTED = 2,
};

// Write attempts of one reply: the first and two repeats.
static const int kHandoffWriteRetries = 2;

// Copy processes a connection remembers, to reap them as they end.
static const int kHandoffMaxCopies = 64;

// Failed logins a connection may make; the reply to failure k comes k
// seconds late, and the connection ends after the last.
static const int kHandoffMaxLoginFailures = 3;

struct HandoffContext {
    HandoffConfig config;            // this process's configuration
    int sock;                        // the client's socket
    int connectionState;             // HANDOFF_NOT_LOGGED_IN ...
    unsigned retrySeconds;           // sleep before a repeated write (30)
    unsigned idleSeconds;            // idle time before the connection is dropped (300)
    std::string account;             // the account logged in ("" when none)
    int isAdmin;                     // 1 when account is the administrator's
    int loginFailures;               // failed logins on this connection
    std::string peer;                // the client's address, for log lines
    int replyLockFd;                 // flock of one whole reply or notice (-1: none)
    int replyLockDepth;              // nested holds of the reply lock by this process
    long copies[kHandoffMaxCopies];  // copy processes not yet reaped (0: free)
};

// Readies ctx for a connection on sock with config.
void HandoffContextInit(HandoffContext *ctx, const HandoffConfig *config, int sock);

/* handoff_reply.cpp */

// The reply lock keeps a reply and a copy notice (written by another
// process on the same socket) from interleaving: a process holds it for the
// whole of one reply or notice. HandoffReplyLockOpen makes it for a new
// connection; a copy process calls HandoffReplyLockReopen after its fork, so
// that the two processes hold locks of their own.
void HandoffReplyLockOpen(HandoffContext *ctx);
void HandoffReplyLockReopen(HandoffContext *ctx);
void HandoffReplyLock(HandoffContext *ctx);
void HandoffReplyUnlock(HandoffContext *ctx);

// Writes packet, repeating a failed write after retrySeconds while *retries
// is above 0 (each repeat takes one). Returns 0, or -1 when it failed.
int SendPacket(HandoffContext *ctx, const std::vector<unsigned char> &packet, int *retries);
// One reply with its own retry budget.
int SendReply(HandoffContext *ctx, const std::vector<unsigned char> &packet);
// A reply made of the type byte and the status only.
int SendStatusReply(HandoffContext *ctx, int code, uint32_t status);

/* handoff_commands.cpp */

// Results of DispatchHandoffPacket.
enum {
    HANDOFF_GO_ON = 0,       // read the next request
    HANDOFF_CLOSE = 1,       // the client closed the connection
    HANDOFF_BAD_PACKET = -1  // unknown code: "Error: Analyse Packet Failed!" follows
};

// Handles one request (header already split, payload read in full).
int DispatchHandoffPacket(HandoffContext *ctx, const HandoffHeader *header,
                          const unsigned char *payload, size_t size);

/* handoff_login.cpp */

// 1 when name and password match the appliance's administrator account or
// an entry of its account lists; an empty name never matches. *isAdmin is
// set to 1 for the administrator's account.
int CheckLogin(const std::string &name, const std::string &password, int *isAdmin = nullptr);

// 1 when the session may act on the hand-off of owner: the administrator on
// every one, another account only on its own.
int MayActFor(const HandoffContext *ctx, const std::string &owner);
// 1 when the session may act on filesId's hand-off (its record's account).
int MayActOn(const HandoffContext *ctx,
             const std::string
                 &filesId);  // The character set name of the FTP client language (check_ftp_code).
std::string FtpCharacterSet(void);
// The character set of language code in the text of the language table,
// "CP1252" when no line holds the code or code is empty.
std::string CharacterSetFromTable(const std::string &table, const std::string &code);

int HandleCreateConnection(HandoffContext *ctx, const HandoffRequest *request);
int HandleCheckFtpCode(HandoffContext *ctx);

/* handoff_copy.cpp */

int HandleN2ncp(HandoffContext *ctx, const HandoffRequest *request);
int HandleKillN2ncp(HandoffContext *ctx, const HandoffRequest *request);
// Reaps the connection's copy processes that have ended.
void ReapCopies(HandoffContext *ctx);

// Pids of copy processes of filesId in ps output lines ("PID ARGS"): the
// marker and the whole id must appear with no further id character after
// them, in a cp or mv command (or its shell). Never ownPid.
std::vector<long> CopyPidsInListing(const std::vector<std::string> &lines,
                                    const std::string &filesId, long ownPid);
