// handoff_packet.cpp -- decoding requests and encoding replies of the hand-off protocol.
#include "handoff_packet.h"

#include <string.h>

#include "bytes.h"

void DecodeHandoffHeader(const unsigned char *p, HandoffHeader *header) {
    header->report = (p[0] & kHandoffReportFlag) ? 1 : 0;
    header->code = p[0] & 0x7f;
    header->length = GetBe32(p + 1);
}

void EncodeHandoffHeader(unsigned char *p, int report, int code, uint32_t length) {
    p[0] = static_cast<unsigned char>((code & 0x7f) | (report ? kHandoffReportFlag : 0));
    PutBe32(p + 1, length);
}

void PacketReaderInit(PacketReader *reader, const unsigned char *data, size_t size) {
    reader->data = data;
    reader->size = size;
    reader->pos = 0;
}

int PacketReadInt(PacketReader *reader, uint32_t *value) {
    if (reader->size - reader->pos < 4) return 1;
    *value = GetBe32(reader->data + reader->pos);
    reader->pos += 4;
    return 0;
}

int PacketReadString(PacketReader *reader, std::string *value) {
    if (reader->size - reader->pos < 4) return 1;
    uint32_t count = GetBe32(reader->data + reader->pos);
    // Compared as sizes, so a count near 2^32 cannot wrap the position.
    if (count > reader->size - reader->pos - 4) return 1;
    const char *text = reinterpret_cast<const char *>(reader->data + reader->pos + 4);
    const void *nul = memchr(text, '\0', count);
    size_t kept = nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : count;
    value->assign(text, kept);
    reader->pos += 4 + static_cast<size_t>(count);
    return 0;
}

void PacketPutByte(std::vector<unsigned char> *packet, int byte) {
    packet->push_back(static_cast<unsigned char>(byte & 0xff));
}

void PacketPutInt(std::vector<unsigned char> *packet, uint32_t value) {
    unsigned char b[4];
    PutBe32(b, value);
    packet->insert(packet->end(), b, b + 4);
}

void PacketPutString(std::vector<unsigned char> *packet, const std::string &value) {
    PacketPutInt(packet, static_cast<uint32_t>(value.size()));
    packet->insert(packet->end(), value.begin(), value.end());
}

int ParseHandoffRequest(int code, const unsigned char *payload, size_t size,
                        HandoffRequest *request) {
    PacketReader r;
    PacketReaderInit(&r, payload, size);
    HandoffRequest *q = request;
    switch (code) {
        case HANDOFF_CREATE_CONNECTION:
            return PacketReadInt(&r, &q->version) || PacketReadString(&r, &q->user) ||
                   PacketReadString(&r, &q->password);
        case HANDOFF_CLOSE_CONNECTION:
        case HANDOFF_CHECK_FTP_CODE:
            return 0;
        case HANDOFF_CREATE_TMP_SHARE:
            return PacketReadString(&r, &q->user) || PacketReadString(&r, &q->fileName) ||
                   PacketReadInt(&r, &q->size) || PacketReadString(&r, &q->type);
        case HANDOFF_N2NCP:
            return PacketReadString(&r, &q->source) || PacketReadString(&r, &q->filesId);
        case HANDOFF_CHECK_N2NCP_RATE:
            if (PacketReadString(&r, &q->filesId) || PacketReadInt(&r, &q->totalSize)) return 1;
            return q->totalSize == 0 ? 1 : 0;
        case HANDOFF_KILL_N2NCP:
        case HANDOFF_REPORT_W2NCP_FINISH:
        case HANDOFF_DELETE_TMP_SHARE:
        case HANDOFF_DELETE_SHARED_FILES:
        case HANDOFF_DELETE_HISTORY:
            return PacketReadString(&r, &q->filesId);
        case HANDOFF_READ_HISTORY:
            return PacketReadString(&r, &q->user);
        default:
            return -1;
    }
}

const char *HandoffBadPacketMessage(int code) {
    switch (code) {
        case HANDOFF_CREATE_CONNECTION:
            return "Bad packet of command create_connection_packet!";
        case HANDOFF_CLOSE_CONNECTION:
            return "Bad packet of command client_close_connection!";
        case HANDOFF_CREATE_TMP_SHARE:
            return "Bad packet of command create_tmp_share!";
        case HANDOFF_N2NCP:
            return "Bad packet of command n2ncp!";
        case HANDOFF_KILL_N2NCP:
            return "Bad packet of command kill_n2ncp!";
        case HANDOFF_CHECK_N2NCP_RATE:
            return "Bad packet of command check_n2ncp_rate!";
        case HANDOFF_REPORT_W2NCP_FINISH:
            return "Bad packet of command report_w2ncp_finish!";
        case HANDOFF_DELETE_TMP_SHARE:
            return "Bad packet of command delete_tmp_share!";
        case HANDOFF_DELETE_SHARED_FILES:
            // A fixed text of the system's output, spelling included.
            return "Bad packet of comamnd delete_shared_files!";
        case HANDOFF_READ_HISTORY:
            return "Bad packet of command read_history!";
        case HANDOFF_DELETE_HISTORY:
            return "Bad packet of command delete_history!";
        default:
            return nullptr;
    }
}
