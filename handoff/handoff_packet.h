// handoff_packet.h -- the hand-off packet format: request header, payload fields, replies.
//
// Request: byte 0 holds the report flag (bit 7) and the command code (bits
// 0-6), bytes 1-4 the payload length L (big-endian), then L payload bytes.
// Payload fields: a string is a 4-byte big-endian count N and N bytes (no
// terminator); an integer is 4 bytes big-endian. Replies: a type byte (the
// code with bit 7 set), a 4-byte status, then the reply's fields in the same
// encoding. Every integer is written byte by byte (bytes.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Header is flag and code (1 byte), payload length (4 bytes).
static const int kHandoffHeaderSize = 1 + 4;
static_assert(kHandoffHeaderSize == 5, "hand-off header");

// A payload above this ends the connection before anything is allocated; it
// is far above any legal request (the longest holds three short strings).
static const uint32_t kHandoffMaxPayload = 1u << 20;

static const int kHandoffReportFlag = 0x80;  // bit 7 of byte 0: not dispatched
static const int kHandoffReplyBit = 0x80;    // reply type = code | 0x80

// Command codes.
enum HandoffCode {
    HANDOFF_CREATE_CONNECTION = 1,
    HANDOFF_CLOSE_CONNECTION = 2,
    HANDOFF_CREATE_TMP_SHARE = 3,
    HANDOFF_N2NCP = 4,
    HANDOFF_KILL_N2NCP = 5,
    HANDOFF_CHECK_N2NCP_RATE = 6,
    HANDOFF_REPORT_W2NCP_FINISH = 7,
    HANDOFF_DELETE_TMP_SHARE = 8,
    HANDOFF_DELETE_SHARED_FILES = 9,
    HANDOFF_READ_HISTORY = 10,
    HANDOFF_DELETE_HISTORY = 11,
    HANDOFF_COPY_NOTICE = 12,  // sent by a copy process, never a request
    HANDOFF_CHECK_FTP_CODE = 13,
};

// Reply statuses.
enum HandoffStatus {
    HANDOFF_DONE = 0,
    HANDOFF_REFUSED = 1,
    HANDOFF_REFUSED_2 = 2,  // bad login, share not prepared, end of history
    HANDOFF_NOT_ALLOWED = 255,
};

// The version a client must log in with.
static const uint32_t kHandoffVersion = 0x20090303;

struct HandoffHeader {
    int report;       // 1 when bit 7 of byte 0 is set
    int code;         // bits 0-6 of byte 0
    uint32_t length;  // payload bytes that follow
};

// REQUIRES: p has kHandoffHeaderSize bytes.
void DecodeHandoffHeader(const unsigned char *p, HandoffHeader *header);
void EncodeHandoffHeader(unsigned char *p, int report, int code, uint32_t length);

// A cursor over one payload. The read operations return 0 and advance, or 1
// (cursor unchanged) when the field runs past the payload.
struct PacketReader {
    const unsigned char *data;
    size_t size;
    size_t pos;
};

void PacketReaderInit(PacketReader *reader, const unsigned char *data, size_t size);
int PacketReadInt(PacketReader *reader, uint32_t *value);
// The string's bytes up to its first NUL, if any: the daemon handles names
// as C texts, so a NUL ends them.
int PacketReadString(PacketReader *reader, std::string *value);

// Appending fields to a packet being built.
void PacketPutByte(std::vector<unsigned char> *packet, int byte);
void PacketPutInt(std::vector<unsigned char> *packet, uint32_t value);
void PacketPutString(std::vector<unsigned char> *packet, const std::string &value);

// The fields of every request, as the command table gives them.
struct HandoffRequest {
    uint32_t version;      // create_connection_packet
    std::string user;      // create_connection_packet, create_tmp_share, read_history
    std::string password;  // create_connection_packet
    std::string fileName;  // create_tmp_share
    uint32_t size;         // create_tmp_share (kilobytes)
    std::string type;      // create_tmp_share
    std::string source;    // n2ncp
    std::string filesId;   // n2ncp, kill, rate, finish, deletes (a pattern for delete_history)
    uint32_t totalSize;    // check_n2ncp_rate (not 0)
};

// Reads the fields of command code from a payload. Returns 0, 1 when the
// payload is malformed for the command (a field runs past it, a missing
// field, a total size of 0), or -1 for a code that is not a command.
// Commands whose payload is ignored (2, 13) always give 0.
int ParseHandoffRequest(int code, const unsigned char *payload, size_t size,
                        HandoffRequest *request);

// The name of a command as its bad-packet message spells it, null for an
// unknown code.
const char *HandoffBadPacketMessage(int code);
