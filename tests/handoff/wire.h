// wire.h -- a blocking hand-off client for tests that run many clients at once.
//
// Free functions over one socket each, safe to call from several threads:
// each request's reply is read whole, and a copy notice between replies is
// taken and handed back.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace wire {

using Bytes = std::vector<unsigned char>;

// A connection to parcelod on 127.0.0.1:13367, or -1; receiveBuffer above 0
// sets a small receive buffer first, so that the server's writes block soon.
int Dial(int receiveBuffer = 0);
bool SendAll(int fd, const Bytes &bytes);
// Reads exactly n bytes within timeoutMs; false at the end of the stream or time-out.
bool ReadAll(int fd, size_t n, Bytes *out, int timeoutMs = 20000);
bool ReadU32(int fd, uint32_t *value, int timeoutMs = 20000);
bool ReadStr(int fd, std::string *value, int timeoutMs = 20000);

Bytes Request(int code, const Bytes &payload);
Bytes Str(const std::string &text);
Bytes U32(uint32_t value);

// A copy notice seen while waiting for a reply.
struct Notice {
    uint32_t status;
    std::string filesId;
};

// Reads the reply of type code|0x80 and its status, taking any copy notice
// that comes first into *notices. Returns the status, or -1 when the
// connection broke.
long ReplyStatus(int fd, int code, std::vector<Notice> *notices = nullptr, int timeoutMs = 20000);

// The verbs of a session; each returns the reply's status, or -1.
long Login(int fd, const std::string &user, const std::string &password);
long Share(int fd, const std::string &user, uint32_t size, std::string *filesId);
long Finish(int fd, const std::string &filesId);
long Simple(int fd, int code, const std::string &filesId);

}  // namespace wire
