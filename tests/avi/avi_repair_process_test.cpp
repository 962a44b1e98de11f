// Process tests of the start-up repair: vidula records the camera stand-in,
// is killed at many moments (between chunks, inside a chunk, inside the
// header write, right after a file change) and started again; the tree then
// holds only finished recordings (and the one being written), each read
// clean by ffprobe and holding every frame its file held at the kill.
#include <ctype.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "avi_test_support.h"
#include "avi_writer.h"
#include "bytes.h"
#include "harness.h"

namespace {

using harness::Process;

bool InProgress(const std::string &name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, "_.avi") == 0;
}

// "YYYY/MM/DD/camYYYY-MM-DD#hh-mm-ss_YYYY-MM-DD#hh-mm-ss.avi"
bool IsFinishedName(const std::string &name) {
    const std::string form = "9999/99/99/cam9999-99-99#99-99-99_9999-99-99#99-99-99.avi";
    if (name.size() != form.size()) return false;
    for (size_t i = 0; i < form.size(); i++) {
        bool ok =
            form[i] == '9' ? isdigit(static_cast<unsigned char>(name[i])) != 0 : name[i] == form[i];
        if (!ok) return false;
    }
    return true;
}

// "YYYY-MM-DD#hh-mm-ss" of a recording's start.
std::string StartOf(const std::string &name) { return name.substr(name.find('#') - 10, 19); }

class VidulaRepair : public ::testing::Test {
  protected:
    void SetUp() override {
        harness::BlockManagerWakeups();
        folder_ = root_.At("rec/");
        std::filesystem::create_directory(folder_);
        manager_ = std::make_unique<harness::QueueReader>(root_.Write("mgrq", ""));
        camera_ = harness::StartCameraStandIn({"--size", "640x480", "--fps", "25"}, &port_);
        ASSERT_NE(0, port_) << camera_->Output();
    }
    void TearDown() override {
        if (HasFailure() && vidula_) fprintf(stderr, "vidula:\n%s", vidula_->Output().c_str());
    }

    void StartVidula(const std::map<std::string, std::string> &keys = {}) {
        std::map<std::string, std::string> all = {
            {"ipcam_port", std::to_string(port_)}, {"ipcam_video_width", "640"},
            {"ipcam_video_height", "480"},         {"ipcam_fps", "25"},
            {"nvr_record_folder", folder_},        {"nvr_video_name_prefix", "cam"},
            {"nvr_manager_mq", root_.At("mgrq")},  {"nvr_log_console", "yes"},
        };
        for (const auto &k : keys) all[k.first] = k.second;
        std::string conf = root_.Write("vidula.conf", harness::ConfigText(all));
        vidula_ = std::make_unique<Process>(
            std::vector<std::string>{harness::BinDir() + "/vidula", "-c", conf},
            std::map<std::string, std::string>{{"TZ", "UTC"}});
        // The repair runs before the disk manager starts.
        ASSERT_TRUE(vidula_->WaitForLine("Execute TARSEL as pid (")) << vidula_->Output();
    }

    // Kills vidula (its disk manager goes with the process group) and notes
    // the data chunks of the file it was writing.
    void Kill() {
        vidula_->Signal(SIGKILL);
        vidula_->WaitExit();
        log_ += vidula_->Output();
        vidula_.reset();
        for (const std::string &f : Files()) {
            if (InProgress(f)) held_.push_back({StartOf(f), Chunks(f)});
        }
        // The next run starts in a later second: a file it started in the
        // killed file's second could end under the repaired file's name, and
        // the recorder's finishing mv would replace it.
        time_t killed = time(nullptr);
        harness::WaitUntil([&] { return time(nullptr) != killed; });
    }

    std::vector<std::string> Files() {
        std::vector<std::string> files;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder_)) {
            if (e.is_regular_file()) files.push_back(e.path().string().substr(folder_.size()));
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    int Chunks(const std::string &relative) {
        int chunks = 0, withData = 0;
        avitest::CountChunks(harness::ReadFile(folder_ + relative), &chunks, &withData);
        return withData;
    }

    // Waits until the file being written holds at least n frames with data.
    bool WaitForFrames(int n) {
        return harness::WaitUntil([&] {
            for (const std::string &f : Files()) {
                if (InProgress(f) && Chunks(f) >= n) return true;
            }
            return false;
        });
    }

    // Ends vidula with SIGTERM and checks the whole tree: only finished
    // recordings, each read clean by ffprobe, and every file held at a kill
    // finished with all its frames.
    void StopAndCheckTree() {
        vidula_->Signal(SIGTERM);
        EXPECT_EQ(1, vidula_->WaitExit());
        log_ += vidula_->Output();
        std::multimap<std::string, int> finished;
        for (const std::string &f : Files()) {
            EXPECT_FALSE(InProgress(f)) << f;
            finished.insert({StartOf(f), ExpectFinished(f)});
        }
        for (const auto &held : held_) {
            if (held.second == 0) continue;  // removed: it held no frame
            bool found = false;
            auto range = finished.equal_range(held.first);
            for (auto it = range.first; it != range.second; ++it)
                found |= it->second == held.second;
            EXPECT_TRUE(found) << held.first << " with " << held.second << " frames\n" << log_;
        }
    }

    // A finished recording that ffprobe reads at 640x480, 25/1 with as many
    // frames as chunks; returns its chunks holding data.
    int ExpectFinished(const std::string &relative) {
        EXPECT_TRUE(IsFinishedName(relative)) << relative;
        std::string path = folder_ + relative;
        std::string file = harness::ReadFile(path);
        int chunks = 0, withData = 0;
        EXPECT_TRUE(avitest::CountChunks(file, &chunks, &withData)) << relative;
        std::vector<avitest::IndexEntry> index;
        EXPECT_TRUE(avitest::ReadIndex(file, &index)) << relative;
        EXPECT_EQ(static_cast<size_t>(chunks), index.size()) << relative;
        EXPECT_EQ("nmm-0.0.1", file.substr(228, 9)) << relative;
        avitest::Probe p = avitest::ProbeAvi(path);
        EXPECT_EQ(0, p.status) << relative << p.other;
        EXPECT_EQ("", p.other) << relative;
        EXPECT_EQ(640, p.width) << relative;
        EXPECT_EQ("25/1", p.frameRate) << relative;
        EXPECT_EQ(std::to_string(chunks), p.frames) << relative;
        EXPECT_EQ(std::to_string(withData), p.packets) << relative;
        EXPECT_EQ("", avitest::DecodeErrors(path)) << relative;
        return withData;
    }

    // The in-progress header of a 640x480, 25 fps file, as the writer puts it.
    std::string InProgressHeader() {
        std::string path = root_.At("header.avi");
        AviFile *avi = AVI_create_output_file(path.c_str());
        AVI_set_video_format(avi, 640, 480, 25, "MJPG");
        AVI_rewrite_header(avi);
        std::string header = harness::ReadFile(path);
        AVI_close_file(avi);
        unlink(path.c_str());
        return header;
    }

    // The day folder of today (UTC) under the record folder.
    std::string Today() {
        time_t now = time(nullptr);
        struct tm t;
        gmtime_r(&now, &t);
        char day[16];
        strftime(day, sizeof(day), "%Y/%m/%d/", &t);
        std::filesystem::create_directories(folder_ + day);
        return day;
    }

    harness::TempRoot root_;
    std::string folder_;
    int port_ = 0;
    std::unique_ptr<harness::QueueReader> manager_;
    std::unique_ptr<Process> camera_;
    std::unique_ptr<Process> vidula_;
    // Start of each file being written at a kill, and its frames then.
    std::vector<std::pair<std::string, int>> held_;
    std::string log_;
};

TEST_F(VidulaRepair, KilledBetweenChunksTheFileIsFinishedAtTheNextStart) {
    StartVidula();
    ASSERT_TRUE(WaitForFrames(12));
    Kill();
    ASSERT_EQ(1u, held_.size());
    StartVidula();
    EXPECT_TRUE(vidula_->WaitForLine("Repaired ")) << vidula_->Output();
    EXPECT_NE(std::string::npos, vidula_->Output().find(" frames kept, ")) << vidula_->Output();
    ASSERT_TRUE(WaitForFrames(3));
    StopAndCheckTree();
}

TEST_F(VidulaRepair, KilledInsideAChunkTheTornChunkIsCut) {
    StartVidula();
    ASSERT_TRUE(WaitForFrames(5));
    Kill();
    // The chunk being written when the kill came: its head and part of its data.
    std::string file = Files()[0];
    unsigned char head[8] = {'0', '0', 'd', 'b'};
    PutLe32(head + 4, 40000);
    std::string torn = std::string(reinterpret_cast<char *>(head), 8) + std::string(1000, 'j');
    FILE *f = fopen((folder_ + file).c_str(), "ab");
    ASSERT_NE(nullptr, f);
    fwrite(torn.data(), 1, torn.size(), f);
    fclose(f);
    StartVidula();
    // At least the appended bytes are cut (more when the kill itself tore a
    // chunk: a write of many pages can stop part way).
    std::string out = vidula_->Output();
    size_t kept = out.find(" frames kept, ");
    ASSERT_NE(std::string::npos, kept) << out;
    EXPECT_GE(atoll(out.c_str() + kept + 14), 1008) << out;
    StopAndCheckTree();
}

// Killed inside the header write the file holds zeros only (the writer puts
// 2048 zero bytes first); killed right after it, the header and no frame.
// Neither holds a frame: both are removed, with a line each.
TEST_F(VidulaRepair, KilledInsideTheHeaderWriteTheEmptyFileIsRemoved) {
    std::string day = Today();
    std::string zeros = day + "cam" + day.substr(0, 4) + "-" + day.substr(5, 2) + "-" +
                        day.substr(8, 2) + "#00-00-01_.avi";
    std::string headerOnly = zeros.substr(0, zeros.size() - 7) + "02_.avi";
    root_.Write("rec/" + zeros, std::string(2048, '\0'));
    root_.Write("rec/" + headerOnly, InProgressHeader());
    StartVidula();
    EXPECT_EQ(2, vidula_->Count(": no complete frame")) << vidula_->Output();
    EXPECT_FALSE(harness::FileExists(folder_ + zeros));
    EXPECT_FALSE(harness::FileExists(folder_ + headerOnly));
    ASSERT_TRUE(WaitForFrames(2));
    StopAndCheckTree();
}

// Many kills: right after the start, after a few frames, deep in a file and
// right after a file change (small files change every second); each restart
// finishes what the kill left.
TEST_F(VidulaRepair, KilledAtManyMomentsEveryFrameEndsInAFinishedFile) {
    std::map<std::string, std::string> smallFiles = {{"nvr_max_file_size", "400000"}};
    const int kFramesBeforeKill[] = {0, 1, 3, 20, -1, 8, -1};
    for (int frames : kFramesBeforeKill) {
        SCOPED_TRACE(frames);
        StartVidula(smallFiles);
        if (frames > 0) {
            ASSERT_TRUE(WaitForFrames(frames));
        } else if (frames < 0) {
            // Right after a file change: the next file has just been opened.
            ASSERT_TRUE(vidula_->WaitForLine("Average frame rate is ")) << vidula_->Output();
        }
        Kill();
        // Only the file being written may have its in-progress name.
        int inProgress = 0;
        for (const std::string &f : Files()) inProgress += InProgress(f) ? 1 : 0;
        EXPECT_LE(inProgress, 1);
    }
    StartVidula(smallFiles);
    ASSERT_TRUE(WaitForFrames(2));
    StopAndCheckTree();
}

}  // namespace
