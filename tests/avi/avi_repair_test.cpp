// Tests of the repair step: a file copied from a writer in mid-recording and
// repaired is byte for byte the file the writer's close makes after the same
// frames; files killed inside the close, cut at every byte of their start and
// of their last chunk, foreign or still being written are finished, removed
// or refused, never made worse. ffprobe reads the repaired files.
#include "avi_repair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>

#include "avi_test_support.h"
#include "avi_writer.h"
#include "harness.h"

namespace {

const char kName[] = "cam2026-12-06#14-05-00_.avi";

// What a writer made: the file as it stood before the close (no index, the
// in-progress header), the file after the close, and the chunk offsets.
struct Recording {
    std::string inProgress;
    std::string closed;
    std::vector<size_t> chunkEnds;  // end of every chunk, pad included
};

class AviRepair : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // Frames of many lengths: JPEGs, odd lengths, empty frames.
    static std::vector<std::string> Frames(int count) {
        std::vector<std::string> frames;
        for (int i = 0; i < count; i++) {
            if (i % 5 == 3) {
                frames.push_back("");
            } else {
                std::string jpeg = avitest::MakeJpeg(64, 48, i);
                frames.push_back(avitest::PadJpeg(jpeg, jpeg.size() + 4 + (i % 2)));
            }
        }
        return frames;
    }

    // Writes frames with the writer at fps, keeping the file as it was just
    // before the close.
    Recording Write(const std::vector<std::string> &frames, double fps = 25) {
        std::string path = root_.At("writer.avi");
        unlink(path.c_str());
        AviFile *avi = AVI_create_output_file(path.c_str());
        EXPECT_NE(nullptr, avi);
        Recording r;
        if (avi == nullptr) return r;
        AVI_set_video_format(avi, 64, 48, fps, "MJPG");
        AVI_rewrite_header(avi);
        for (const std::string &f : frames) {
            AVI_write_video_frame(avi, reinterpret_cast<const unsigned char *>(f.data()),
                                  static_cast<int32_t>(f.size()), 1);
            r.chunkEnds.push_back(avi->dataEnd);
        }
        r.inProgress = harness::ReadFile(path);
        EXPECT_EQ(0, AVI_close_file(avi));
        r.closed = harness::ReadFile(path);
        return r;
    }

    // Puts content under name in the test folder; returns its path.
    std::string Put(const std::string &content, const std::string &name = kName) {
        return root_.Write(name, content);
    }

    int Repair(const std::string &path, int flags = 0) {
        return RepairAviRecording(path.c_str(), flags, &result_);
    }

    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(root_.path())) {
            std::string n = e.path().filename().string();
            if (n != "writer.avi") names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    harness::TempRoot root_;
    AviRepairResult result_;
};

TEST_F(AviRepair, RepairedFileIsTheClosedFileByteForByte) {
    // frames, the end second: frames / 25 s after 14:05:00
    struct Case {
        int frames;
        const char *end;
    } cases[] = {{1, "00"}, {2, "00"}, {7, "00"}, {25, "01"}, {60, "02"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        Recording r = Write(Frames(c.frames));
        ASSERT_EQ(0, Repair(Put(r.inProgress)));
        EXPECT_EQ(AVI_REPAIR_FINISHED, result_.outcome);
        EXPECT_EQ(c.frames, result_.scan.frameCount);
        EXPECT_EQ(0u, result_.scan.cutBytes);
        std::string final =
            std::string("cam2026-12-06#14-05-00_2026-12-06#14-05-") + c.end + ".avi";
        EXPECT_EQ(root_.At(final), result_.finalName);
        EXPECT_EQ((std::vector<std::string>{final}), Names());
        EXPECT_TRUE(harness::ReadFile(root_.At(final)) == r.closed);
        avitest::Probe p = avitest::ProbeAvi(root_.At(final));
        EXPECT_EQ(0, p.status) << p.other;
        EXPECT_EQ("mjpeg", p.codec);
        EXPECT_EQ("25/1", p.frameRate);
        EXPECT_EQ(std::to_string(c.frames), p.frames);
        EXPECT_EQ("", avitest::DecodeErrors(root_.At(final)));
        unlink(root_.At(final).c_str());
    }
}

TEST_F(AviRepair, TornChunkAndOldIndexAreCut) {
    Recording r = Write(Frames(10));
    Recording nine = Write(Frames(9));
    // The tenth chunk torn after 20 bytes: nine frames stay.
    std::string torn = r.inProgress.substr(0, r.chunkEnds[8] + 20);
    ASSERT_EQ(0, Repair(Put(torn)));
    EXPECT_EQ(9, result_.scan.frameCount);
    EXPECT_EQ(20u, result_.scan.cutBytes);
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == nine.closed);
    unlink(result_.finalName);

    // Killed inside the close: the index is written, the header is not yet.
    std::string indexed = r.inProgress.substr(0, 2048) + r.closed.substr(2048);
    ASSERT_EQ(0, Repair(Put(indexed)));
    EXPECT_EQ(AVI_REPAIR_FINISHED, result_.outcome);
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == r.closed);
    unlink(result_.finalName);

    // Killed before the truncation: the final header, and stale bytes after the index.
    ASSERT_EQ(0, Repair(Put(r.closed + std::string(3000, 'x'))));
    EXPECT_EQ(AVI_REPAIR_FINISHED, result_.outcome);
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == r.closed);
    unlink(result_.finalName);

    // Killed before the rename: the content is final already, only the name changes.
    ASSERT_EQ(0, Repair(Put(r.closed)));
    EXPECT_EQ(AVI_REPAIR_ALREADY_FINISHED, result_.outcome);
    EXPECT_EQ(1, result_.renamed);
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == r.closed);
}

TEST_F(AviRepair, OddLastFrameWithoutItsPadByteIsKept) {
    std::vector<std::string> frames = Frames(3);
    frames.back() = std::string(101, 'q');  // odd length: a pad byte follows
    Recording r = Write(frames);
    ASSERT_EQ(0, Repair(Put(r.inProgress.substr(0, r.inProgress.size() - 1))));
    EXPECT_EQ(3, result_.scan.frameCount);
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == r.closed);
}

TEST_F(AviRepair, FileWithoutFrameIsRemoved) {
    Recording none = Write({});
    for (const std::string &content :
         {none.inProgress, std::string(2048, '\0'), std::string(100, '\0'), std::string()}) {
        SCOPED_TRACE(content.size());
        ASSERT_EQ(0, Repair(Put(content)));
        EXPECT_EQ(AVI_REPAIR_REMOVED, result_.outcome);
        EXPECT_TRUE(Names().empty());
    }
}

TEST_F(AviRepair, ForeignAndBrokenFilesAreLeftAsTheyAre) {
    Recording r = Write(Frames(4));
    std::string changed = r.inProgress;
    changed[1000] = 'z';  // inside the JUNK filler
    std::string otherRate = r.inProgress;
    otherRate[32] ^= 1;  // microseconds per frame that no frame rate gives
    struct Case {
        std::string content;
        int status;
    } cases[] = {
        {changed, AVI_SCAN_FOREIGN_HEADER},
        {otherRate, AVI_SCAN_FOREIGN_HEADER},
        {"RIFF", AVI_SCAN_SHORT_HEADER},
        {r.inProgress.substr(0, 2047), AVI_SCAN_SHORT_HEADER},
        {std::string(2048, '\0') + r.inProgress.substr(2048), AVI_SCAN_NO_HEADER},
        {std::string(5000, 'a'), AVI_SCAN_FOREIGN_HEADER},
    };
    for (const Case &c : cases) {
        std::string path = Put(c.content);
        EXPECT_EQ(1, Repair(path));
        EXPECT_EQ(AVI_REPAIR_REFUSED, result_.outcome);
        EXPECT_EQ(c.status, result_.scan.status);
        EXPECT_TRUE(harness::ReadFile(path) == c.content);
        EXPECT_EQ((std::vector<std::string>{kName}), Names());
    }
    // A FIFO named by mistake neither hangs the repair nor is touched.
    std::string fifo = root_.At("cam2026-12-06#14-06-00_.avi");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(1, Repair(fifo));
    EXPECT_EQ(AVI_REPAIR_REFUSED, result_.outcome);
    EXPECT_EQ(AVI_SCAN_NOT_A_FILE, result_.scan.status);
}

TEST_F(AviRepair, FileHeldByAWriterIsNotTouched) {
    std::string path = root_.At(kName);
    AviFile *avi = AVI_create_output_file(path.c_str());
    ASSERT_NE(nullptr, avi);
    AVI_set_video_format(avi, 64, 48, 25, "MJPG");
    AVI_rewrite_header(avi);
    AVI_write_video_frame(avi, reinterpret_cast<const unsigned char *>("abcd"), 4, 1);
    std::string before = harness::ReadFile(path);
    EXPECT_EQ(1, Repair(path));
    EXPECT_EQ(AVI_REPAIR_BUSY, result_.outcome);
    EXPECT_TRUE(harness::ReadFile(path) == before);
    // A second writer does not open the file either.
    EXPECT_EQ(nullptr, AVI_create_output_file(path.c_str()));
    AVI_close_file(avi);
    EXPECT_EQ(0, Repair(path));
    EXPECT_EQ(AVI_REPAIR_ALREADY_FINISHED, result_.outcome);
}

TEST_F(AviRepair, TakenNameIsNeverReplaced) {
    Recording r = Write(Frames(3));
    std::string taken = "cam2026-12-06#14-05-00_2026-12-06#14-05-00.avi";
    Put("another recording", taken);
    ASSERT_EQ(0, Repair(Put(r.inProgress)));
    EXPECT_EQ(1, result_.nameTaken);
    EXPECT_EQ(root_.At("cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi"), result_.finalName);
    EXPECT_EQ("another recording", harness::ReadFile(root_.At(taken)));
    EXPECT_TRUE(harness::ReadFile(result_.finalName) == r.closed);
}

TEST_F(AviRepair, DryRunChangesNothingAndOtherNamesStay) {
    Recording r = Write(Frames(5));
    std::string path = Put(r.inProgress.substr(0, r.inProgress.size() - 3));
    ASSERT_EQ(0, Repair(path, AVI_REPAIR_DRY_RUN));
    EXPECT_EQ(AVI_REPAIR_FINISHED, result_.outcome);
    EXPECT_EQ(4, result_.scan.frameCount);
    EXPECT_EQ(root_.At("cam2026-12-06#14-05-00_2026-12-06#14-05-00.avi"), result_.finalName);
    EXPECT_TRUE(harness::ReadFile(path) == r.inProgress.substr(0, r.inProgress.size() - 3));

    std::string plain = Put(r.inProgress, "plain.avi");
    ASSERT_EQ(0, Repair(plain));
    EXPECT_EQ(0, result_.renamed);
    EXPECT_EQ(plain, result_.finalName);
    EXPECT_TRUE(harness::ReadFile(plain) == r.closed);
}

// Every prefix of the first 4096 bytes and of the last chunk, in progress
// and finished, is repaired to the closed file of the frames it holds whole,
// removed when it holds no byte but zeros, or refused and left as it was.
TEST_F(AviRepair, FileCutAtEveryByteIsRepairedOrRefused) {
    const int kFrames = 40;
    std::vector<std::string> frames = Frames(kFrames);
    std::vector<std::string> closedAfter;  // closed file after m frames
    for (int m = 0; m <= kFrames; m++) {
        closedAfter.push_back(Write({frames.begin(), frames.begin() + m}).closed);
    }
    Recording r = Write(frames);
    ASSERT_GT(r.inProgress.size(), 4096u);
    std::vector<size_t> cuts;
    for (size_t k = 0; k <= 4096; k++) cuts.push_back(k);
    for (size_t k = r.chunkEnds[kFrames - 2]; k <= r.closed.size(); k++) cuts.push_back(k);
    for (const std::string *whole : {&r.inProgress, &r.closed}) {
        for (size_t k : cuts) {
            if (k > whole->size()) continue;
            SCOPED_TRACE(k);
            std::string cut = whole->substr(0, k);
            std::string path = Put(cut);
            int status = Repair(path);
            int whole_frames = 0;
            while (whole_frames < kFrames && r.chunkEnds[whole_frames] <= k + 1) whole_frames++;
            // A last odd chunk missing only its pad byte counts whole.
            if (whole_frames > 0 && r.chunkEnds[whole_frames - 1] == k + 1 &&
                (frames[whole_frames - 1].size() % 2) == 0) {
                whole_frames--;
            }
            if (result_.outcome == AVI_REPAIR_REFUSED) {
                EXPECT_LT(k, 2048u);
                EXPECT_TRUE(harness::ReadFile(path) == cut);
            } else if (result_.outcome == AVI_REPAIR_REMOVED) {
                EXPECT_EQ(0, status);
                EXPECT_EQ(0, whole_frames);
                EXPECT_TRUE(Names().empty());
            } else {
                ASSERT_EQ(0, status);
                EXPECT_EQ(whole_frames, result_.scan.frameCount);
                EXPECT_TRUE(harness::ReadFile(result_.finalName) == closedAfter[whole_frames]);
                unlink(result_.finalName);
            }
            unlink(path.c_str());
        }
    }
}

// avirepair for a person: -n reports and changes nothing; then the good
// file is finished and renamed, the foreign one is named on standard error,
// left as it is, and the status is 1.
TEST_F(AviRepair, ToolReportsKeptAndCutAndRefusesWhatItCannotRead) {
    Recording r = Write(Frames(30));
    std::string good = Put(r.inProgress + "00db\x10");
    std::string foreign = Put(std::string(3000, 'a'), "holiday.avi");
    auto run = [&](const std::string &option) {
        std::string command = "exec '" + harness::BinDir() + "/avirepair' " + option + " '" + good +
                              "' '" + foreign + "' 2>'" + root_.At("err") + "'";
        return harness::Run({"sh", "-c", command});
    };
    std::string line = root_.At(kName) +
                       ": %s 30 frames (24 with data, 64x48 at 25 fps), %s 5 bytes; %s " +
                       root_.At("cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi") + "\n";
    auto fill = [&](const char *a, const char *b, const char *c) {
        char text[2048];
        snprintf(text, sizeof(text), line.c_str(), a, b, c);
        return std::string(text);
    };
    std::string refusal =
        "avirepair: " + foreign + ": not repaired, the header is not one this recorder writes\n";

    harness::RunResult dry = run("-n");
    EXPECT_EQ(1, dry.status);
    EXPECT_EQ(fill("would keep", "would cut", "would be renamed to"), dry.output);
    EXPECT_EQ(refusal, harness::ReadFile(root_.At("err")));
    EXPECT_TRUE(harness::ReadFile(good) == r.inProgress + "00db\x10");

    harness::RunResult real = run("");
    EXPECT_EQ(1, real.status);
    EXPECT_EQ(fill("kept", "cut", "renamed to"), real.output);
    EXPECT_EQ(refusal, harness::ReadFile(root_.At("err")));
    EXPECT_FALSE(harness::FileExists(good));
    EXPECT_TRUE(harness::ReadFile(root_.At("cam2026-12-06#14-05-00_2026-12-06#14-05-01.avi")) ==
                r.closed);
    EXPECT_EQ(std::string(3000, 'a'), harness::ReadFile(foreign));

    harness::RunResult usage = harness::Run({harness::BinDir() + "/avirepair"});
    EXPECT_EQ(1, usage.status);
    EXPECT_NE(std::string::npos, usage.output.find("usage: avirepair [-n] FILE..."));
}

}  // namespace
