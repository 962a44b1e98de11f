// client_session.h -- one connection of handoff_client to parcelod and its commands.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Exit statuses of handoff_client.
enum {
    CLIENT_DONE = 0,
    CLIENT_REFUSED = 1,
    CLIENT_LOGIN_REFUSED = 2,
    CLIENT_BROKEN = 3,
    CLIENT_USAGE = 64,
};

struct ClientOptions {
    std::string host;
    int port;
    std::string user;
    std::string password;
};

struct ClientSession {
    int fd;                         // the connection, -1 when closed
    std::vector<unsigned char> in;  // bytes received and not yet taken
};

// Connects. Returns 0, or CLIENT_BROKEN after printing why.
int ClientConnect(ClientSession *session, const ClientOptions *options);
void ClientClose(ClientSession *session);

// Sends one request (code and payload). Returns 0, or -1.
int ClientSend(ClientSession *session, int code, const std::vector<unsigned char> &payload);
// Takes n bytes from the connection into out. Returns 0, or -1 at its end.
int ClientTake(ClientSession *session, size_t n, std::vector<unsigned char> *out);
int ClientTakeInt(ClientSession *session, uint32_t *value);
int ClientTakeString(ClientSession *session, std::string *value);

// Runs one command line (COMMAND ARGS). Returns the exit status.
int RunClientCommand(const ClientOptions *options, const std::vector<std::string> &args);
