// avi_writer.cpp -- creating an AVI file, appending frame chunks, finishing it.
#include "avi_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "avi_format.h"
#include "avi_header.h"
#include "bytes.h"
#include "whole_io.h"

int32_t AVI_last_error = AVI_ERR_NONE;
int32_t AVI_last_system_error = 0;

// Records a failure together with the system error number of its cause.
static int Fail(int code) {
    AVI_last_system_error = errno;
    AVI_last_error = code;
    return -1;
}

static bool WriteBytesAt(int fd, const unsigned char *bytes, size_t length, off_t offset) {
    struct iovec iov = {const_cast<unsigned char *>(bytes), length};
    return WriteAllAt(fd, &iov, 1, offset) == 0;
}

// Writes one chunk at dataEnd: the id, the length, the data and a zero pad
// byte after odd-length data, in one call where the system allows. On success
// dataEnd moves past the chunk; on failure it stays (error 4), so the next
// chunk overwrites what was partly written.
static int WriteChunk(AviFile *avi, const char *id, const unsigned char *data, uint32_t length) {
    static const unsigned char kPad[1] = {0};
    unsigned char head[kAviChunkHeadSize];
    memcpy(head, id, 4);
    PutLe32(head + 4, length);
    struct iovec iov[3] = {{head, sizeof(head)},
                           {const_cast<unsigned char *>(data), length},
                           {const_cast<unsigned char *>(kPad), length & 1u}};
    if (WriteAllAt(avi->fileDescriptor, iov, 3, avi->dataEnd) != 0) return Fail(AVI_ERR_WRITE);
    avi->dataEnd += kAviChunkHeadSize + length + (length & 1u);
    return 0;
}

// Grows the index to hold at least entries, in whole growth steps.
static int GrowIndex(AviFile *avi, int64_t entries) {
    if (entries <= avi->indexCapacity) return 0;
    int64_t steps = (entries + kAviIndexGrowth - 1) / kAviIndexGrowth;
    int64_t capacity = steps * kAviIndexGrowth;
    if (capacity > INT32_MAX / kAviIndexEntrySize) {
        errno = ENOMEM;
        return Fail(AVI_ERR_NO_MEM);
    }
    void *grown = realloc(avi->indexEntries, static_cast<size_t>(capacity) * kAviIndexEntrySize);
    if (grown == nullptr) return Fail(AVI_ERR_NO_MEM);
    avi->indexEntries = static_cast<unsigned char *>(grown);
    avi->indexCapacity = static_cast<int32_t>(capacity);
    return 0;
}

AviFile *AVI_create_output_file(const char *path) {
    AviFile *avi = static_cast<AviFile *>(calloc(1, sizeof(AviFile)));
    if (avi == nullptr) {
        Fail(AVI_ERR_NO_MEM);
        return nullptr;
    }
    // The file is not truncated here: closing cuts it at the end of its index.
    mode_t previous = umask(0);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    umask(previous);
    // The lock, held while the file is open, tells a repair that the file is
    // still being written; a file another writer holds is not written.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        fd = -1;
        errno = EWOULDBLOCK;
    }
    if (fd < 0) {
        Fail(AVI_ERR_OPEN);
        free(avi);
        return nullptr;
    }
    unsigned char zeros[kAviHeaderSize] = {0};
    if (!WriteBytesAt(fd, zeros, sizeof(zeros), 0)) {
        Fail(AVI_ERR_WRITE);
        close(fd);
        free(avi);
        return nullptr;
    }
    avi->fileDescriptor = fd;
    avi->openMode = AVI_MODE_WRITE;
    avi->dataEnd = kAviHeaderSize;
    return avi;
}

void AVI_set_video_format(AviFile *avi, int32_t width, int32_t height, double fps,
                          const char *compressor) {
    if (avi == nullptr || avi->openMode == AVI_MODE_READ) return;
    avi->width = width;
    avi->height = height;
    avi->fps = fps;
    memset(avi->codecCode, 0, sizeof(avi->codecCode));
    if (compressor != nullptr && strncmp(compressor, "RGB", 3) != 0) {
        strncpy(avi->codecCode, compressor, 4);
    }
}

int AVI_reserve_index(AviFile *avi, int32_t entries) {
    if (avi == nullptr) return -1;
    if (avi->openMode == AVI_MODE_READ) return Fail(AVI_ERR_NOT_PERM);
    return GrowIndex(avi, entries);
}

int AVI_rewrite_header(AviFile *avi) {
    if (avi == nullptr) return -1;
    if (avi->openMode == AVI_MODE_READ) return Fail(AVI_ERR_NOT_PERM);
    unsigned char image[kAviHeaderSize];
    uint32_t moviSize = avi->dataEnd - kAviMoviSizeBase;
    BuildAviHeader(avi, AVI_IDENTITY_IN_PROGRESS, moviSize, moviSize, kAviFlagIsInterleaved, image);
    if (!WriteBytesAt(avi->fileDescriptor, image, sizeof(image), 0)) return Fail(AVI_ERR_CLOSE);
    return 0;
}

int AVI_write_video_frame(AviFile *avi, const unsigned char *data, int32_t length, int keyframe) {
    if (avi == nullptr) return -1;
    if (avi->openMode == AVI_MODE_READ) return Fail(AVI_ERR_NOT_PERM);
    if (length < 0 || (length > 0 && data == nullptr)) {
        errno = EINVAL;
        return Fail(AVI_ERR_WRITE);
    }
    // 64-bit arithmetic: a 32-bit sum could wrap and let a chunk through.
    uint64_t needed = uint64_t{avi->dataEnd} + static_cast<uint64_t>(length) +
                      uint64_t{kAviIndexEntrySize} * static_cast<uint64_t>(avi->indexCount) +
                      kAviChunkReserve;
    if (needed > kAviMaxFileSize) {
        errno = EFBIG;
        return Fail(AVI_ERR_SIZELIMIT);
    }
    if (avi->indexCount == avi->indexCapacity &&
        GrowIndex(avi, int64_t{avi->indexCapacity} + kAviIndexGrowth) != 0) {
        return -1;
    }
    uint32_t position = avi->dataEnd;
    if (WriteChunk(avi, "00db", data, static_cast<uint32_t>(length)) != 0) return -1;

    // The entry is entered only once its chunk is on disk.
    unsigned char *entry = avi->indexEntries + size_t{kAviIndexEntrySize} * avi->indexCount;
    memcpy(entry, "00db", 4);
    PutLe32(entry + 4, keyframe ? kAviIndexKeyFrame : 0);
    PutLe32(entry + 8, position);
    PutLe32(entry + 12, static_cast<uint32_t>(length));
    avi->indexCount++;
    if (length > avi->largestChunk) avi->largestChunk = length;
    avi->lastFramePos = position;
    avi->lastFrameLen = static_cast<uint32_t>(length);
    avi->frameCount++;
    return 0;
}

int AVI_close_output_file(AviFile *avi) {
    if (avi == nullptr) return -1;
    uint32_t moviSize = avi->dataEnd - kAviMoviSizeBase;
    uint32_t indexBytes = static_cast<uint32_t>(avi->indexCount) * kAviIndexEntrySize;
    int indexResult = WriteChunk(avi, "idx1", avi->indexEntries, indexBytes);
    uint32_t flags = kAviFlagIsInterleaved;
    if (indexResult == 0) {
        flags |= kAviFlagHasIndex;
        if (avi->mustUseIndex) flags |= kAviFlagMustUseIndex;
    } else {
        Fail(AVI_ERR_WRITE_INDEX);
    }
    unsigned char image[kAviHeaderSize];
    BuildAviHeader(avi, AVI_IDENTITY_FINAL, avi->dataEnd - 8, moviSize, flags, image);
    if (!WriteBytesAt(avi->fileDescriptor, image, sizeof(image), 0) ||
        ftruncate(avi->fileDescriptor, avi->dataEnd) != 0) {
        return Fail(AVI_ERR_CLOSE);
    }
    return indexResult;
}

int AVI_close_file(AviFile *avi) {
    if (avi == nullptr) return -1;
    int result = 0;
    if (avi->openMode == AVI_MODE_WRITE) result = AVI_close_output_file(avi);
    close(avi->fileDescriptor);
    free(avi->indexEntries);
    free(avi->readVideoIndex);
    free(avi->readAudioIndex);
    free(avi);
    return result;
}
