// avi_test_support.h -- test JPEGs, ffprobe/ffmpeg checks and an index reader
// for the tests of the AVI writer and the recording sessions.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace avitest {

// A baseline JPEG of width x height made with libjpeg; seed varies the picture.
std::string MakeJpeg(int width, int height, int seed);

// The same picture padded to exactly size bytes with comment segments placed
// after its start marker. REQUIRES: size == jpeg.size() or size >= jpeg.size() + 4.
std::string PadJpeg(const std::string &jpeg, size_t size);

// Decodes jpeg with libjpeg; false when it is not a complete, valid JPEG.
bool DecodeJpeg(const std::string &jpeg, int *width, int *height);

// What ffprobe says about the first stream of an AVI file.
struct Probe {
    int status = -1;    // ffprobe's exit status
    std::string codec;  // codec_name
    int width = 0;
    int height = 0;
    std::string frameRate;  // r_frame_rate, e.g. "25/1"
    std::string frames;     // nb_frames from the headers ("N/A" when 0 or unknown)
    std::string packets;    // nb_read_packets: the chunks that hold data
    std::string other;      // any line ffprobe printed besides the fields
};
Probe ProbeAvi(const std::string &path);

// Decodes every frame with "ffmpeg -v error -i path -f null -"; returns what
// it printed plus "exit N" when it failed, so "" means every JPEG decoded.
std::string DecodeErrors(const std::string &path);

// The presentation times of the packets that hold data, as ffprobe reads them.
std::vector<long> PacketTimes(const std::string &path);

// One idx1 entry.
struct IndexEntry {
    std::string id;
    uint32_t flags;
    uint32_t offset;
    uint32_t length;
};

// Reads the idx1 chunk that follows the movi list of a finished file; false
// when there is none where the header says.
bool ReadIndex(const std::string &file, std::vector<IndexEntry> *entries);

// The data of the chunk an entry points at, after checking its head; empty
// and *ok false when the head does not match the entry.
std::string ChunkData(const std::string &file, const IndexEntry &entry, bool *ok);

// Walks the "00db" chunks of the movi list from offset 2048 up to the end
// that the header gives (or the end of the file when the header says 4, as
// in a file whose writer died). Counts all chunks and those holding data;
// false when a chunk head is not "00db" or a chunk runs past the file.
bool CountChunks(const std::string &file, int *chunks, int *withData);

// Little-endian field of a byte string.
uint32_t Le32(const std::string &bytes, size_t offset);

}  // namespace avitest
