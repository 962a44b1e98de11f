// avi_repair_scan.cpp -- reads a recording chunk by chunk: its header, the
// complete "00db" chunks, and whether it already is a finished file.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "avi_format.h"
#include "avi_header.h"
#include "avi_repair.h"
#include "avi_writer.h"
#include "bytes.h"
#include "whole_io.h"

// Reads size bytes at offset; returns the count read (short at the end of
// the file) or -1.
static ssize_t ReadAt(int fd, uint64_t offset, void *buffer, size_t size) {
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) return -1;
    return ReadAll(fd, buffer, size);
}

static bool AllZero(const unsigned char *bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// The format and counts a header states, as a writer record.
static void ReadHeaderFields(const unsigned char *header, AviFile *avi, AviScan *scan) {
    memset(avi, 0, sizeof(*avi));
    scan->width = static_cast<int32_t>(GetLe32(header + kAviWidthAt));
    scan->height = static_cast<int32_t>(GetLe32(header + kAviHeightAt));
    scan->rate = GetLe32(header + kAviRateAt);
    scan->fps = scan->rate / 10000.0;
    memset(scan->codecCode, 0, sizeof(scan->codecCode));
    memcpy(scan->codecCode, header + kAviHandlerAt, 4);
    avi->width = scan->width;
    avi->height = scan->height;
    avi->fps = scan->fps;
    memcpy(avi->codecCode, scan->codecCode, sizeof(avi->codecCode));
    avi->frameCount = static_cast<int32_t>(GetLe32(header + kAviTotalFramesAt));
}

// Whether header is exactly one the writer builds: the in-progress form or
// the final form, for the format and counts it states. Sets headerFinal.
static bool IsWriterHeader(const unsigned char *header, AviScan *scan) {
    AviFile avi;
    ReadHeaderFields(header, &avi, scan);
    uint32_t riffSize = GetLe32(header + kAviRiffSizeAt);
    uint32_t moviSize = GetLe32(header + kAviMoviSizeAt);
    uint32_t flags = GetLe32(header + kAviFlagsAt);
    unsigned char image[kAviHeaderSize];
    BuildAviHeader(&avi, AVI_IDENTITY_IN_PROGRESS, moviSize, moviSize, kAviFlagIsInterleaved,
                   image);
    if (memcmp(image, header, kAviHeaderSize) == 0) return true;
    if (flags != kAviFlagIsInterleaved && flags != (kAviFlagIsInterleaved | kAviFlagHasIndex)) {
        return false;
    }
    BuildAviHeader(&avi, AVI_IDENTITY_FINAL, riffSize, moviSize, flags, image);
    if (memcmp(image, header, kAviHeaderSize) != 0) return false;
    scan->headerFinal = 1;
    return true;
}

// Appends the writer's index entry for a key frame chunk at position.
static int AddIndexEntry(AviScan *scan, int32_t *capacity, uint32_t position, uint32_t length) {
    if (scan->frameCount == *capacity) {
        int32_t grown = *capacity + kAviIndexGrowth;
        void *bigger = realloc(scan->index, static_cast<size_t>(grown) * kAviIndexEntrySize);
        if (bigger == nullptr) return 1;
        scan->index = static_cast<unsigned char *>(bigger);
        *capacity = grown;
    }
    unsigned char *entry = scan->index + size_t{kAviIndexEntrySize} * scan->frameCount;
    memcpy(entry, "00db", 4);
    PutLe32(entry + 4, kAviIndexKeyFrame);
    PutLe32(entry + 8, position);
    PutLe32(entry + 12, length);
    scan->frameCount++;
    if (length > 0) scan->dataFrames++;
    return 0;
}

// Walks the chunks from the end of the header; stops at the first one that
// is not a complete "00db" chunk the writer could have written. A chunk
// whose data is complete but whose pad byte is missing is kept: the close
// writes the index after the pad position. Returns 0, 1 on a read or
// memory failure.
static int WalkChunks(int fd, AviScan *scan) {
    uint64_t position = kAviHeaderSize;
    int32_t capacity = 0;
    while (position + kAviChunkHeadSize <= scan->fileLength) {
        unsigned char head[kAviChunkHeadSize];
        ssize_t got = ReadAt(fd, position, head, sizeof(head));
        if (got < 0) return 1;
        if (got < kAviChunkHeadSize || memcmp(head, "00db", 4) != 0) break;
        uint64_t length = GetLe32(head + 4);
        // The writer refuses a chunk that would leave no room for the index.
        uint64_t needed =
            position + length + uint64_t{kAviIndexEntrySize} * scan->frameCount + kAviChunkReserve;
        if (needed > kAviMaxFileSize) break;
        uint64_t dataEnd = position + kAviChunkHeadSize + length;
        if (dataEnd > scan->fileLength) break;
        if (AddIndexEntry(scan, &capacity, static_cast<uint32_t>(position),
                          static_cast<uint32_t>(length)) != 0) {
            errno = ENOMEM;
            return 1;
        }
        position = dataEnd + (length & 1u);
    }
    scan->dataEnd = static_cast<uint32_t>(position);
    scan->cutBytes = scan->fileLength > position ? scan->fileLength - position : 0;
    return 0;
}

// Whether the file is already what a close of the scanned frames writes:
// the final header for them, their index at dataEnd, and nothing after.
static bool IsFinished(int fd, const AviScan *scan, const unsigned char *header) {
    uint64_t indexBytes = uint64_t{kAviIndexEntrySize} * scan->frameCount;
    if (!scan->headerFinal || scan->fileLength != scan->dataEnd + kAviChunkHeadSize + indexBytes) {
        return false;
    }
    AviFile avi;
    AviScan fields;
    ReadHeaderFields(header, &avi, &fields);
    avi.frameCount = scan->frameCount;
    unsigned char image[kAviHeaderSize];
    BuildAviHeader(&avi, AVI_IDENTITY_FINAL, static_cast<uint32_t>(scan->fileLength - 8),
                   scan->dataEnd - kAviMoviSizeBase, kAviFlagIsInterleaved | kAviFlagHasIndex,
                   image);
    if (memcmp(image, header, kAviHeaderSize) != 0) return false;
    unsigned char head[kAviChunkHeadSize];
    if (ReadAt(fd, scan->dataEnd, head, sizeof(head)) != kAviChunkHeadSize ||
        memcmp(head, "idx1", 4) != 0 || GetLe32(head + 4) != indexBytes) {
        return false;
    }
    unsigned char entries[4096];
    for (uint64_t done = 0; done < indexBytes;) {
        size_t part = indexBytes - done < sizeof(entries) ? indexBytes - done : sizeof(entries);
        if (ReadAt(fd, scan->dataEnd + kAviChunkHeadSize + done, entries, part) !=
                static_cast<ssize_t>(part) ||
            memcmp(entries, scan->index + done, part) != 0) {
            return false;
        }
        done += part;
    }
    return true;
}

int ScanAviRecording(int fd, AviScan *scan) {
    memset(scan, 0, sizeof(*scan));
    struct stat info;
    unsigned char header[kAviHeaderSize];
    if (fstat(fd, &info) != 0) {
        scan->systemError = errno;
        scan->status = AVI_SCAN_READ_ERROR;
        return 1;
    }
    if (!S_ISREG(info.st_mode)) {
        scan->status = AVI_SCAN_NOT_A_FILE;
        return 1;
    }
    ssize_t got = ReadAt(fd, 0, header, sizeof(header));
    if (got < 0) {
        scan->systemError = errno;
        scan->status = AVI_SCAN_READ_ERROR;
        return 1;
    }
    scan->fileLength = static_cast<uint64_t>(info.st_size);
    if (AllZero(header, static_cast<size_t>(got))) {
        // A file whose writer ended before it wrote its header has no frame.
        scan->status = scan->fileLength <= kAviHeaderSize ? AVI_SCAN_EMPTY : AVI_SCAN_NO_HEADER;
        return scan->status == AVI_SCAN_EMPTY ? 0 : 1;
    }
    if (got < kAviHeaderSize) {
        scan->status = AVI_SCAN_SHORT_HEADER;
        return 1;
    }
    if (!IsWriterHeader(header, scan)) {
        scan->status = AVI_SCAN_FOREIGN_HEADER;
        return 1;
    }
    if (WalkChunks(fd, scan) != 0) {
        scan->systemError = errno;
        scan->status = AVI_SCAN_READ_ERROR;
        FreeAviScan(scan);
        return 1;
    }
    scan->finished = IsFinished(fd, scan, header) ? 1 : 0;
    if (scan->finished) scan->cutBytes = 0;
    scan->status = AVI_SCAN_OK;
    return 0;
}

void FreeAviScan(AviScan *scan) {
    free(scan->index);
    scan->index = nullptr;
}

const char *AviScanText(int status) {
    switch (status) {
        case AVI_SCAN_OK:
            return "a recording";
        case AVI_SCAN_EMPTY:
            return "no header and no frame were written";
        case AVI_SCAN_SHORT_HEADER:
            return "the file ends inside its header";
        case AVI_SCAN_FOREIGN_HEADER:
            return "the header is not one this recorder writes";
        case AVI_SCAN_NO_HEADER:
            return "the header is blank but data follows it";
        case AVI_SCAN_READ_ERROR:
            return "the file cannot be read";
        case AVI_SCAN_NOT_A_FILE:
            return "it is not a regular file";
        default:
            return "unknown scan result";
    }
}
