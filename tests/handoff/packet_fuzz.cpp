// packet_fuzz.cpp -- fuzz target over the request decoder and the handlers' field checks.
//
// The input is a stream of requests as a client sends them. Each request is
// decoded as the connection process decodes it; a request that parses is
// encoded again and must parse to the same fields. The fields then go
// through the checks the handlers make (safe ids, copy sources are skipped:
// they touch the file system), the ps-listing matcher, the account lists
// and the language table reader.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "flash_settings.h"
#include "handoff_config.h"
#include "handoff_connection.h"
#include "handoff_files.h"
#include "handoff_packet.h"

static void Check(bool ok) {
    if (!ok) abort();
}

static std::vector<unsigned char> Encode(int code, const HandoffRequest &q) {
    std::vector<unsigned char> p;
    switch (code) {
        case HANDOFF_CREATE_CONNECTION:
            PacketPutInt(&p, q.version);
            PacketPutString(&p, q.user);
            PacketPutString(&p, q.password);
            break;
        case HANDOFF_CREATE_TMP_SHARE:
            PacketPutString(&p, q.user);
            PacketPutString(&p, q.fileName);
            PacketPutInt(&p, q.size);
            PacketPutString(&p, q.type);
            break;
        case HANDOFF_N2NCP:
            PacketPutString(&p, q.source);
            PacketPutString(&p, q.filesId);
            break;
        case HANDOFF_CHECK_N2NCP_RATE:
            PacketPutString(&p, q.filesId);
            PacketPutInt(&p, q.totalSize);
            break;
        case HANDOFF_READ_HISTORY:
            PacketPutString(&p, q.user);
            break;
        default:
            PacketPutString(&p, q.filesId);
    }
    return p;
}

static void Fields(int code, const HandoffRequest &q) {
    for (const std::string *text : {&q.user, &q.filesId, &q.source, &q.fileName, &q.type}) {
        int safe = FilesIdIsSafe(*text, 0);
        Check(!safe || (text->find('/') == std::string::npos && !text->empty()));
        std::vector<std::string> lines = SplitAccountList(*text);
        Check(lines.size() <= 32);
        std::vector<long> pids = CopyPidsInListing(lines, q.filesId, 1234);
        for (long pid : pids) Check(pid > 1 && pid != 1234);
        CharacterSetFromTable(*text, q.password);
    }
    HandoffConfig config = HandoffConfig();
    ParseConfigurationText(&config, q.user + "\n" + q.password);
    if (code == HANDOFF_CHECK_N2NCP_RATE) Check(q.totalSize != 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    while (size - pos >= static_cast<size_t>(kHandoffHeaderSize)) {
        HandoffHeader header;
        DecodeHandoffHeader(data + pos, &header);
        pos += kHandoffHeaderSize;
        if (header.length > kHandoffMaxPayload) break;  // the connection would end here
        size_t length = header.length < size - pos ? header.length : size - pos;
        HandoffRequest q = HandoffRequest();
        int parsed = ParseHandoffRequest(header.code, data + pos, length, &q);
        pos += length;
        if (parsed < 0) {
            Check(HandoffBadPacketMessage(header.code) == nullptr);
            break;  // unknown code: the connection ends
        }
        if (parsed > 0 || header.code == HANDOFF_CLOSE_CONNECTION ||
            header.code == HANDOFF_CHECK_FTP_CODE)
            continue;
        std::vector<unsigned char> again = Encode(header.code, q);
        HandoffRequest r = HandoffRequest();
        Check(ParseHandoffRequest(header.code, again.data(), again.size(), &r) == 0);
        Check(r.user == q.user && r.password == q.password && r.fileName == q.fileName &&
              r.type == q.type && r.source == q.source && r.filesId == q.filesId &&
              r.version == q.version && r.size == q.size && r.totalSize == q.totalSize);
        Fields(header.code, q);
    }
    return 0;
}
