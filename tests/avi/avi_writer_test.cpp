// Tests of the AVI writer: the header area and the index byte by byte, the
// chunks, the index growth, the size limit, truncation, the failures and the
// error vocabulary; ffprobe and ffmpeg read every file made here.
#include "avi_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "avi_format.h"
#include "avi_test_support.h"
#include "bytes.h"
#include "harness.h"

namespace {

using avitest::Le32;

// The header fields that vary; everything else in the 2048 bytes is fixed.
struct HeaderFields {
    uint32_t riffSize;
    uint32_t microSecPerFrame;
    uint32_t flags;
    uint32_t frames;
    uint32_t width;
    uint32_t height;
    const char *codec;  // four bytes
    uint32_t rate;
    const char *identity;
    uint32_t moviSize;
};

// The header area as the layout table gives it, offset by offset.
std::string ExpectedHeader(const HeaderFields &f) {
    std::string h(2048, '\0');
    auto id = [&](size_t at, const char *text) { h.replace(at, 4, text, 4); };
    auto u32 = [&](size_t at, uint32_t v) {
        unsigned char b[4];
        PutLe32(b, v);
        h.replace(at, 4, reinterpret_cast<char *>(b), 4);
    };
    auto u16 = [&](size_t at, uint16_t v) {
        unsigned char b[2];
        PutLe16(b, v);
        h.replace(at, 2, reinterpret_cast<char *>(b), 2);
    };
    id(0, "RIFF"), u32(4, f.riffSize), id(8, "AVI "), id(12, "LIST"), u32(16, 200);
    id(20, "hdrl"), id(24, "avih"), u32(28, 56), u32(32, f.microSecPerFrame);
    u32(44, f.flags), u32(48, f.frames), u32(56, 1), u32(64, f.width), u32(68, f.height);
    id(88, "LIST"), u32(92, 124), id(96, "strl"), id(100, "strh"), u32(104, 64);
    id(108, "vids"), id(112, f.codec), u32(128, 10000), u32(132, f.rate), u32(140, f.frames);
    u32(148, 0xFFFFFFFFu), id(172, "strf"), u32(176, 40), u32(180, 40), u32(184, f.width);
    u32(188, f.height), u16(192, 1), u16(194, 24), id(196, f.codec);
    u32(200, f.width * f.height * 3), id(220, "JUNK"), u32(224, 1808);
    h.replace(228, strlen(f.identity), f.identity);
    id(2036, "LIST"), u32(2040, f.moviSize), id(2044, "movi");
    return h;
}

std::string Chunk(const std::string &data) {
    unsigned char len[4];
    PutLe32(len, static_cast<uint32_t>(data.size()));
    std::string c = "00db" + std::string(reinterpret_cast<char *>(len), 4) + data;
    if (data.size() % 2) c += '\0';
    return c;
}

std::string IndexEntryBytes(uint32_t flags, uint32_t offset, uint32_t length) {
    unsigned char b[16];
    memcpy(b, "00db", 4);
    PutLe32(b + 4, flags);
    PutLe32(b + 8, offset);
    PutLe32(b + 12, length);
    return std::string(reinterpret_cast<char *>(b), 16);
}

class AviWriterTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (avi_ != nullptr) AVI_close_file(avi_);
    }

    // Creates the file with the recorder's format and the in-progress header.
    AviFile *Create(const std::string &name = "clip.avi", int width = 640, int height = 480,
                    double fps = 25) {
        path_ = root_.At(name);
        avi_ = AVI_create_output_file(path_.c_str());
        if (avi_ == nullptr) return nullptr;
        AVI_set_video_format(avi_, width, height, fps, "MJPG");
        EXPECT_EQ(0, AVI_rewrite_header(avi_));
        return avi_;
    }
    int Frame(const std::string &data, int keyframe = 1) {
        return AVI_write_video_frame(avi_, reinterpret_cast<const unsigned char *>(data.data()),
                                     static_cast<int32_t>(data.size()), keyframe);
    }
    int Close() {
        int result = AVI_close_file(avi_);
        avi_ = nullptr;
        return result;
    }
    std::string Bytes() { return harness::ReadFile(path_); }

    // ffprobe reads the file as MJPEG 640x480 at 25/1 with frames chunks in
    // the headers and packets chunks holding data, and ffmpeg decodes them.
    void ExpectPlayable(int frames, int packets) {
        avitest::Probe p = avitest::ProbeAvi(path_);
        EXPECT_EQ(0, p.status) << p.other;
        EXPECT_EQ("", p.other);
        EXPECT_EQ("mjpeg", p.codec);
        EXPECT_EQ(640, p.width);
        EXPECT_EQ(480, p.height);
        EXPECT_EQ("25/1", p.frameRate);
        EXPECT_EQ(frames == 0 ? "N/A" : std::to_string(frames), p.frames);
        if (packets > 0) {
            EXPECT_EQ(std::to_string(packets), p.packets);
            EXPECT_EQ("", avitest::DecodeErrors(path_));
        }
    }

    harness::TempRoot root_;
    std::string path_;
    AviFile *avi_ = nullptr;
};

TEST_F(AviWriterTest, EmptyFileIsTheHeaderAndAnEmptyIndex) {
    ASSERT_NE(nullptr, Create());
    ASSERT_EQ(0, Close());
    std::string file = Bytes();
    ASSERT_EQ(2056u, file.size());
    EXPECT_EQ(ExpectedHeader({2048, 40000, 0x110, 0, 640, 480, "MJPG", 250000, "nmm-0.0.1", 4}),
              file.substr(0, 2048));
    EXPECT_EQ(std::string("idx1\0\0\0\0", 8), file.substr(2048));
    ExpectPlayable(0, 0);
}

TEST_F(AviWriterTest, InProgressHeaderRightAfterCreation) {
    ASSERT_NE(nullptr, Create());
    std::string file = Bytes();
    ASSERT_EQ(2048u, file.size());
    EXPECT_EQ(ExpectedHeader({4, 40000, 0x100, 0, 640, 480, "MJPG", 250000, "j8l-0.0.1", 4}), file);
    EXPECT_STREQ("j8l-0.0.1", AVI_identity_text());
    EXPECT_EQ(2048u, avi_->dataEnd);
}

TEST_F(AviWriterTest, CreationWritesZerosBeforeAnyHeader) {
    path_ = root_.At("zero.avi");
    avi_ = AVI_create_output_file(path_.c_str());
    ASSERT_NE(nullptr, avi_);
    EXPECT_EQ(std::string(2048, '\0'), Bytes());
    EXPECT_EQ(AVI_MODE_WRITE, avi_->openMode);
    AVI_set_video_format(avi_, 640, 480, 25, "MJPG");
    ASSERT_EQ(0, Close());
    ExpectPlayable(0, 0);
}

TEST_F(AviWriterTest, ChunksAndIndexByteByByte) {
    ASSERT_NE(nullptr, Create());
    const std::string frames[] = {"", "A", "BC", "DEFGHIJ", std::string(100, 'x')};
    int key[] = {1, 1, 0, 1, 1};
    for (int i = 0; i < 5; i++) ASSERT_EQ(0, Frame(frames[i], key[i])) << i;
    EXPECT_EQ(5, avi_->frameCount);
    EXPECT_EQ(100, avi_->largestChunk);
    uint32_t lastPos = avi_->lastFramePos;
    ASSERT_EQ(0, Close());

    std::string body, index;
    uint32_t at = 2048;
    for (int i = 0; i < 5; i++) {
        body += Chunk(frames[i]);
        index += IndexEntryBytes(key[i] ? 0x10 : 0, at, static_cast<uint32_t>(frames[i].size()));
        at = 2048 + static_cast<uint32_t>(body.size());
    }
    // Offsets 2048, 2056 (empty), 2066 (odd: padded), 2076, 2092.
    EXPECT_EQ(2092u, lastPos);
    std::string file = Bytes();
    uint32_t movi = 4 + static_cast<uint32_t>(body.size());
    std::string idx1Head = std::string("idx1") + std::string("\x50\0\0\0", 4);
    ASSERT_EQ(2048 + body.size() + 8 + 80, file.size());
    EXPECT_EQ(ExpectedHeader({static_cast<uint32_t>(file.size() - 8), 40000, 0x110, 5, 640, 480,
                              "MJPG", 250000, "nmm-0.0.1", movi}),
              file.substr(0, 2048));
    EXPECT_EQ(body, file.substr(2048, body.size()));
    EXPECT_EQ(idx1Head + index, file.substr(2048 + body.size()));
}

TEST_F(AviWriterTest, ChunkSizesOnDisk) {
    struct Case {
        int length;
        uint32_t grows;  // bytes the file grows by
    } cases[] = {{0, 8}, {1, 10}, {2, 10}, {9999, 10008}, {10000, 10008}};
    ASSERT_NE(nullptr, Create());
    for (const Case &c : cases) {
        uint32_t before = avi_->dataEnd;
        ASSERT_EQ(0, Frame(std::string(static_cast<size_t>(c.length), 'q')));
        EXPECT_EQ(before + c.grows, avi_->dataEnd) << c.length;
        EXPECT_EQ(static_cast<uint32_t>(c.length), avi_->lastFrameLen);
        EXPECT_EQ(before, avi_->lastFramePos);
    }
    ASSERT_EQ(0, Close());
    std::vector<avitest::IndexEntry> entries;
    ASSERT_TRUE(avitest::ReadIndex(Bytes(), &entries));
    ASSERT_EQ(5u, entries.size());
    EXPECT_EQ(0u, entries[0].length);
    EXPECT_EQ(0x10u, entries[0].flags);  // an empty frame counts as a key frame
}

TEST_F(AviWriterTest, RealJpegsPlayBack) {
    ASSERT_NE(nullptr, Create());
    std::vector<std::string> jpegs;
    for (int i = 0; i < 6; i++) jpegs.push_back(avitest::MakeJpeg(640, 480, i));
    for (int i = 0; i < 6; i++) {
        ASSERT_EQ(0, Frame(jpegs[i]));
        if (i % 2 == 0) {
            ASSERT_EQ(0, Frame(""));  // an empty frame after every other one
        }
    }
    ASSERT_EQ(0, Close());
    ExpectPlayable(9, 6);
    std::vector<long> times = avitest::PacketTimes(path_);
    EXPECT_EQ((std::vector<long>{0, 2, 3, 5, 6, 8}), times);

    std::string file = Bytes();
    std::vector<avitest::IndexEntry> entries;
    ASSERT_TRUE(avitest::ReadIndex(file, &entries));
    ASSERT_EQ(9u, entries.size());
    int next = 0;
    for (const avitest::IndexEntry &e : entries) {
        bool ok = false;
        std::string data = avitest::ChunkData(file, e, &ok);
        ASSERT_TRUE(ok) << e.offset;
        if (e.length == 0) continue;
        EXPECT_EQ(jpegs[next++], data);
    }
    EXPECT_EQ(6, next);
}

TEST_F(AviWriterTest, FrameRateFields) {
    struct Case {
        double fps;
        uint32_t microSecPerFrame;
        uint32_t rate;
    } cases[] = {{15, 66667, 150000},    {0, 0, 0},      {25, 40000, 250000},
                 {29.97, 33367, 299700}, {0.0009, 0, 0}, {1, 1000000, 10000},
                 {100, 10000, 1000000},  {-5, 0, 0}};
    for (const Case &c : cases) {
        ASSERT_NE(nullptr, Create("rate.avi", 640, 480, c.fps));
        std::string file = Bytes();
        EXPECT_EQ(c.microSecPerFrame, Le32(file, 32)) << c.fps;
        EXPECT_EQ(10000u, Le32(file, 128)) << c.fps;
        EXPECT_EQ(c.rate, Le32(file, 132)) << c.fps;
        ASSERT_EQ(0, Close());
    }
    ASSERT_NE(nullptr, Create("rate.avi", 640, 480, 25));
    ASSERT_EQ(0, Close());
    ExpectPlayable(0, 0);
}

TEST_F(AviWriterTest, CompressorCodes) {
    struct Case {
        const char *given;
        const char *stored;  // four bytes
    } cases[] = {{"MJPG", "MJPG"},  {"RGB", "\0\0\0\0"}, {"RGB24", "\0\0\0\0"},
                 {"XVID1", "XVID"}, {"AB", "AB\0\0"},    {"", "\0\0\0\0"}};
    for (const Case &c : cases) {
        path_ = root_.At("codec.avi");
        avi_ = AVI_create_output_file(path_.c_str());
        ASSERT_NE(nullptr, avi_);
        AVI_set_video_format(avi_, 320, 240, 10, c.given);
        EXPECT_EQ(0, memcmp(c.stored, avi_->codecCode, 5)) << c.given;
        ASSERT_EQ(0, AVI_rewrite_header(avi_));
        std::string file = Bytes();
        EXPECT_EQ(std::string(c.stored, 4), file.substr(112, 4)) << c.given;
        EXPECT_EQ(std::string(c.stored, 4), file.substr(196, 4)) << c.given;
        EXPECT_EQ(230400u, Le32(file, 200));
        ASSERT_EQ(0, Close());
    }
    ASSERT_NE(nullptr, Create());
    ASSERT_EQ(0, Close());
    ExpectPlayable(0, 0);
}

TEST_F(AviWriterTest, IndexGrowsIn4096EntrySteps) {
    ASSERT_NE(nullptr, Create());
    EXPECT_EQ(0, avi_->indexCapacity);
    ASSERT_EQ(0, Frame(""));
    EXPECT_EQ(4096, avi_->indexCapacity);
    for (int i = 1; i < 4096; i++) ASSERT_EQ(0, Frame(""));
    EXPECT_EQ(4096, avi_->indexCapacity);
    ASSERT_EQ(0, Frame(avitest::MakeJpeg(640, 480, 1)));
    EXPECT_EQ(8192, avi_->indexCapacity);
    EXPECT_EQ(4097, avi_->indexCount);
    ASSERT_EQ(0, Close());

    std::string file = Bytes();
    std::vector<avitest::IndexEntry> entries;
    ASSERT_TRUE(avitest::ReadIndex(file, &entries));
    ASSERT_EQ(4097u, entries.size());
    EXPECT_EQ(2048u + 4096 * 8, entries[4096].offset);
    EXPECT_EQ(file.size(), 2048 + 4096 * 8 + 8 + entries[4096].length + (entries[4096].length & 1) +
                               8 + 4097 * 16);
    ExpectPlayable(4097, 1);
}

TEST_F(AviWriterTest, ReservedIndexNeedsNoGrowth) {
    ASSERT_NE(nullptr, Create());
    ASSERT_EQ(0, AVI_reserve_index(avi_, 5000));
    EXPECT_EQ(8192, avi_->indexCapacity);
    ASSERT_EQ(0, AVI_reserve_index(avi_, 10));  // never shrinks
    EXPECT_EQ(8192, avi_->indexCapacity);
    unsigned char *entries = nullptr;
    for (int i = 0; i < 8192; i++) {
        ASSERT_EQ(0, Frame(""));
        if (i == 0) entries = avi_->indexEntries;
    }
    EXPECT_EQ(entries, avi_->indexEntries);
    EXPECT_EQ(8192, avi_->indexCapacity);
    ASSERT_EQ(0, Close());
    ExpectPlayable(8192, 0);
}

TEST_F(AviWriterTest, SizeLimitRefusesAndWritesNothing) {
    ASSERT_NE(nullptr, Create());
    std::string jpeg = avitest::MakeJpeg(640, 480, 1);
    ASSERT_EQ(0, Frame(jpeg));
    uint32_t realEnd = avi_->dataEnd;
    // Pretend the file has grown to near the limit; the chunk, the idx1 head
    // and the new entry (32 bytes) plus 16 per entry already made must fit.
    uint32_t limit = 0xFEFFF7FFu;
    avi_->dataEnd = limit - 32 - 16 - 10;
    EXPECT_EQ(-1, Frame(std::string(11, 'x')));
    EXPECT_EQ(AVI_ERR_SIZELIMIT, AVI_last_error);
    EXPECT_STREQ("aviwriter - AVI file size limit reached", AVI_error_text());
    EXPECT_EQ(1, avi_->indexCount);
    EXPECT_EQ(1, avi_->frameCount);
    EXPECT_EQ(limit - 32 - 16 - 10, avi_->dataEnd);

    // A length that would wrap a 32-bit sum round to a small number is
    // refused too, before any byte of it is read.
    avi_->dataEnd = 0x80000000u;
    unsigned char small[1] = {0};
    EXPECT_EQ(-1, AVI_write_video_frame(avi_, small, 0x7FFFFFF0, 1));
    EXPECT_EQ(AVI_ERR_SIZELIMIT, AVI_last_error);
    EXPECT_EQ(-1, AVI_write_video_frame(avi_, small, -1, 1));

    avi_->dataEnd = realEnd;
    ASSERT_EQ(0, Close());
    EXPECT_EQ(realEnd + 8 + 16, Bytes().size());
    ExpectPlayable(1, 1);
}

TEST_F(AviWriterTest, SizeLimitAcceptsTheLastFittingChunk) {
    ASSERT_NE(nullptr, Create());
    std::string jpeg = avitest::MakeJpeg(640, 480, 1);
    ASSERT_EQ(0, Frame(jpeg));
    uint32_t realEnd = avi_->dataEnd;
    avi_->dataEnd = 0xFEFFF7FFu - 32 - 16 - 10;  // sparse: nothing is stored before it
    ASSERT_EQ(0, Frame(std::string(10, 'x')));
    EXPECT_EQ(2, avi_->indexCount);
    // Put the record back as it was after the first frame and finish.
    avi_->dataEnd = realEnd;
    avi_->indexCount = 1;
    avi_->frameCount = 1;
    ASSERT_EQ(0, Close());
    EXPECT_EQ(realEnd + 8 + 16, Bytes().size());
    ExpectPlayable(1, 1);
}

TEST_F(AviWriterTest, ClosingTruncatesALongerOldFile) {
    std::string old(300000, '\x5a');
    root_.Write("clip.avi", old);
    ASSERT_NE(nullptr, Create());
    std::string jpeg = avitest::MakeJpeg(640, 480, 3);
    ASSERT_EQ(0, Frame(jpeg));
    ASSERT_EQ(0, Close());
    std::string file = Bytes();
    size_t chunk = 8 + jpeg.size() + (jpeg.size() & 1);
    ASSERT_EQ(2048 + chunk + 8 + 16, file.size());
    EXPECT_EQ(Chunk(jpeg), file.substr(2048, chunk));
    EXPECT_EQ(std::string::npos, file.find(std::string(64, '\x5a')));
    ExpectPlayable(1, 1);
}

TEST_F(AviWriterTest, FileModeIs0664WhateverTheUmask) {
    mode_t previous = umask(0077);
    ASSERT_NE(nullptr, Create());
    EXPECT_EQ(0077u, umask(previous));  // the caller's umask is put back
    struct stat st;
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0664u, st.st_mode & 0777);
    ASSERT_EQ(0, Close());
    ExpectPlayable(0, 0);
}

TEST_F(AviWriterTest, OpenFailureIsError2WithItsReason) {
    EXPECT_EQ(nullptr, AVI_create_output_file(root_.At("missing/clip.avi").c_str()));
    EXPECT_EQ(AVI_ERR_OPEN, AVI_last_error);
    EXPECT_STREQ("aviwriter - Error opening AVI file - No such file or directory",
                 AVI_error_text());
}

TEST_F(AviWriterTest, ShortHeaderWriteIsError4) {
    // Every write to /dev/full fails with ENOSPC.
    EXPECT_EQ(nullptr, AVI_create_output_file("/dev/full"));
    EXPECT_EQ(AVI_ERR_WRITE, AVI_last_error);
    EXPECT_STREQ("aviwriter - Error writing to AVI file - No space left on device",
                 AVI_error_text());
}

// Lowers the largest file this process may write; SIGXFSZ is ignored so that
// the write fails with EFBIG instead.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

  private:
    struct rlimit saved_;
};

TEST_F(AviWriterTest, FailedChunkLeavesNoIndexEntry) {
    ASSERT_NE(nullptr, Create());
    std::string a = avitest::MakeJpeg(640, 480, 1), b = avitest::MakeJpeg(640, 480, 2);
    ASSERT_EQ(0, Frame(a));
    uint32_t end = avi_->dataEnd;
    {
        FileSizeLimit limit(end + 100);  // room for the head and part of the data
        EXPECT_EQ(-1, Frame(b));
        EXPECT_EQ(AVI_ERR_WRITE, AVI_last_error);
        EXPECT_STREQ("aviwriter - Error writing to AVI file - File too large", AVI_error_text());
    }
    EXPECT_EQ(end, avi_->dataEnd);
    EXPECT_EQ(1, avi_->indexCount);
    EXPECT_EQ(1, avi_->frameCount);
    EXPECT_EQ(end + 100, Bytes().size());  // the partial chunk is on disk ...
    ASSERT_EQ(0, Frame(b));                // ... and the next chunk overwrites it
    ASSERT_EQ(0, Close());

    std::string file = Bytes();
    std::vector<avitest::IndexEntry> entries;
    ASSERT_TRUE(avitest::ReadIndex(file, &entries));
    ASSERT_EQ(2u, entries.size());
    bool ok = false;
    EXPECT_EQ(a, avitest::ChunkData(file, entries[0], &ok));
    EXPECT_EQ(b, avitest::ChunkData(file, entries[1], &ok));
    EXPECT_EQ(end, entries[1].offset);
    ExpectPlayable(2, 2);
}

TEST_F(AviWriterTest, FailedIndexStillFinishesTheHeader) {
    ASSERT_NE(nullptr, Create());
    std::string jpeg = avitest::MakeJpeg(640, 480, 4);
    for (int i = 0; i < 3; i++) ASSERT_EQ(0, Frame(jpeg));
    uint32_t end = avi_->dataEnd;
    int result;
    {
        FileSizeLimit limit(end + 20);  // idx1 head fits, its 48 bytes do not
        result = Close();
    }
    EXPECT_EQ(-1, result);
    EXPECT_EQ(AVI_ERR_WRITE_INDEX, AVI_last_error);
    EXPECT_STREQ("aviwriter - Error writing index (file may still be useable) - File too large",
                 AVI_error_text());
    std::string file = Bytes();
    ASSERT_EQ(end, file.size());  // cut after the last frame
    EXPECT_EQ(ExpectedHeader(
                  {end - 8, 40000, 0x100, 3, 640, 480, "MJPG", 250000, "nmm-0.0.1", end - 2044}),
              file.substr(0, 2048));
    ExpectPlayable(3, 3);
}

TEST_F(AviWriterTest, ReadingFileRefusesWrites) {
    ASSERT_NE(nullptr, Create());
    avi_->openMode = AVI_MODE_READ;
    EXPECT_EQ(-1, Frame("abc"));
    EXPECT_EQ(AVI_ERR_NOT_PERM, AVI_last_error);
    EXPECT_EQ(-1, AVI_rewrite_header(avi_));
    EXPECT_EQ(AVI_ERR_NOT_PERM, AVI_last_error);
    EXPECT_EQ(-1, AVI_reserve_index(avi_, 10));
    AVI_set_video_format(avi_, 1, 1, 1, "XVID");
    EXPECT_EQ(640, avi_->width);
    EXPECT_STREQ("aviwriter - Operation (read/write) not permitted", AVI_error_text());
    EXPECT_EQ(0, avi_->frameCount);
    EXPECT_EQ(0, Close());  // a reading file is only closed
    EXPECT_EQ(2048u, Bytes().size());
}

// A writer that ended without closing leaves the in-progress header, its
// complete chunks and no index; ffmpeg still finds every complete frame, at
// every cut a crash can leave, and copies them into a finished file.
TEST_F(AviWriterTest, FileOfAWriterThatDiedKeepsItsFrames) {
    ASSERT_NE(nullptr, Create());
    std::vector<size_t> ends;
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(0, Frame(avitest::MakeJpeg(640, 480, i)));
        ASSERT_EQ(0, Frame(""));
        ends.push_back(avi_->dataEnd);
    }
    std::string file = Bytes();  // what a kill leaves: no index, header unchanged
    ASSERT_EQ(ends.back(), file.size());
    EXPECT_EQ(ExpectedHeader({4, 40000, 0x100, 0, 640, 480, "MJPG", 250000, "j8l-0.0.1", 4}),
              file.substr(0, 2048));
    for (size_t k = 0; k < ends.size(); k++) {
        for (size_t cut : {ends[k], ends[k] + 8 + 1000}) {
            if (cut > file.size()) continue;
            std::string name = "cut" + std::to_string(cut) + "_.avi";
            std::string path = root_.Write(name, file.substr(0, cut));
            avitest::Probe p = avitest::ProbeAvi(path);
            EXPECT_EQ("mjpeg", p.codec) << cut;
            EXPECT_EQ(std::to_string(k + 1), p.packets) << cut;
            EXPECT_EQ("", avitest::DecodeErrors(path)) << cut;
        }
    }
    std::string repaired = root_.At("repaired.avi");
    harness::RunResult r =
        harness::Run({"ffmpeg", "-nostdin", "-v", "error", "-i", path_, "-c", "copy", repaired});
    ASSERT_EQ(0, r.status) << r.output;
    avitest::Probe p = avitest::ProbeAvi(repaired);
    EXPECT_EQ("mjpeg", p.codec);
    EXPECT_EQ("4", p.packets);
    EXPECT_EQ("", avitest::DecodeErrors(repaired));
}

TEST(AviErrorText, EveryCode) {
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {0, "aviwriter - No Error"},
        {1, "aviwriter - AVI file size limit reached"},
        {7, "aviwriter - Operation (read/write) not permitted"},
        {8, "aviwriter - Out of memory (malloc failed)"},
        {9, "aviwriter - Not an AVI file"},
        {10, "aviwriter - AVI file has no header list (corrupted?)"},
        {11, "aviwriter - AVI file has no MOVI list (corrupted?)"},
        {12, "aviwriter - AVI file has no video data"},
        {13, "aviwriter - operation needs an index"},
        {14, "aviwriter - Unkown Error"},
        {15, "aviwriter - Unkown Error"},
        {-1, "aviwriter - Unkown Error"},
    };
    for (const Case &c : cases) {
        AVI_last_error = c.code;
        EXPECT_STREQ(c.text, AVI_error_text()) << c.code;
    }
    // Codes 2 to 6 add the reason saved from the failing system call.
    struct SystemCase {
        int code;
        const char *text;
    } systemCases[] = {
        {2, "aviwriter - Error opening AVI file - Permission denied"},
        {3, "aviwriter - Error reading from AVI file - Permission denied"},
        {4, "aviwriter - Error writing to AVI file - Permission denied"},
        {5, "aviwriter - Error writing index (file may still be useable) - Permission denied"},
        {6, "aviwriter - Error closing AVI file - Permission denied"},
    };
    for (const SystemCase &c : systemCases) {
        AVI_last_error = c.code;
        AVI_last_system_error = EACCES;
        EXPECT_STREQ(c.text, AVI_error_text()) << c.code;
    }
}

// Runs AVI_report_error with standard error sent to a file; returns what it
// printed.
std::string ReportedError(const char *text) {
    harness::TempRoot root;
    std::string path = root.At("stderr.txt");
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
    AVI_report_error(text);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return harness::ReadFile(path);
}

TEST(AviReportError, PrintsTheTextAndTheReason) {
    AVI_last_error = AVI_ERR_OPEN;
    AVI_last_system_error = ENOENT;
    EXPECT_EQ("recording: aviwriter - Error opening AVI file\nREASON: No such file or directory\n",
              ReportedError("recording"));
    AVI_last_error = AVI_ERR_SIZELIMIT;
    EXPECT_EQ("recording: aviwriter - AVI file size limit reached\n", ReportedError("recording"));
    AVI_last_error = 99;
    EXPECT_EQ("x: aviwriter - Unkown Error\n", ReportedError("x"));
}

}  // namespace
