// recording_field_test.cpp -- the recording in the field, with a real
// vidula and tarsel: recordings never overwritten, one tree whatever the
// folder's spelling, a full volume and a missing folder said once, and a
// clock step that starts a new file instead of padding.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "avi_test_support.h"
#include "vidula_field.h"

namespace {

using harness::Process;
namespace fs = std::filesystem;

class RecordingField : public harness::VidulaFieldTest {};

// A recorder started in the same second as a predecessor's file, and a
// finished name that exists already: neither file is touched, and the new
// recording keeps its frames under a name of its own.
TEST_F(RecordingField, RecordingsAreNeverOverwritten) {
    StartCamera();
    time_t now = time(nullptr);
    std::set<std::string> planted;
    for (int i = -1; i < 4; i++) planted.insert(Plant(harness::InProgressName(now + i)));
    StartVidula();
    std::string mine;
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (!planted.count(f)) mine = f;
        }
        return !mine.empty();
    })) << vidula_->Output();
    ASSERT_EQ("_.avi", mine.substr(mine.size() - 5));
    time_t end = time(nullptr);
    for (int i = 0; i < 4; i++) planted.insert(Plant(harness::FinalName(mine, end + i)));
    ASSERT_TRUE(harness::WaitUntil([&] { return fs::file_size(folder_ + mine) > 20000; }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    for (const std::string &f : planted)
        EXPECT_EQ(harness::kPlanted, harness::ReadFile(folder_ + f)) << f;
    std::vector<std::string> recorded;
    for (const std::string &f : Files()) {
        if (!planted.count(f)) recorded.push_back(f);
    }
    ASSERT_EQ(1u, recorded.size());
    EXPECT_EQ(mine.substr(0, mine.size() - 4), recorded[0].substr(0, mine.size() - 4));
    avitest::Probe p = avitest::ProbeAvi(folder_ + recorded[0]);
    EXPECT_EQ(0, p.status) << p.other;
    EXPECT_NE("0", p.packets);
}

// A recording folder given without its final "/": vidula records inside it
// and tarsel measures and deletes inside it, not in a sibling tree.
TEST_F(RecordingField, RecordFolderWithoutSlashIsOneTree) {
    std::string old = "2020/01/01/cam2020-01-01#00-00-00_2020-01-01#00-10-00.avi";
    fs::create_directories(fs::path(folder_ + old).parent_path());
    std::ofstream(folder_ + old) << std::string(400000, 'o');
    StartCamera();
    std::string bare = folder_.substr(0, folder_.size() - 1);
    StartVidula({{"nvr_record_folder", bare}, {"nvr_max_storage_space", "300000"}});
    EXPECT_TRUE(harness::WaitUntil([&] { return !harness::FileExists(folder_ + old); }))
        << vidula_->Output();
    ASSERT_TRUE(harness::WaitUntil([&] {
        for (const std::string &f : Files()) {
            if (f.find("/cam") != std::string::npos && f.find("2020/") != 0) return true;
        }
        return false;
    }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    for (const auto &e : fs::directory_iterator(root_.path())) {
        std::string name = e.path().filename().string();
        EXPECT_FALSE(name.size() > 3 && name.compare(0, 3, "rec") == 0) << name;
    }
}

// A volume that takes no more frames in mid-file: one error line per file,
// the frames dropped counted, and a file left without any frame is removed.
TEST_F(RecordingField, FullDiskInMidFileIsReportedOnceAndEmptyFilesGo) {
    StartCamera({"--pad-to", "20000"});
    std::string conf = WriteConfig();
    // dash counts ulimit -f in 512-byte blocks: room for the header and a
    // few hundred empty frames, never for a 20000-byte frame.
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "trap '' XFSZ; ulimit -f 16; exec " + harness::BinDir() +
                                     "/vidula -v -c '" + conf + "'"},
        std::map<std::string, std::string>{{"TZ", "UTC"}});
    ASSERT_TRUE(vidula_->WaitForLine("Start to record AVI file: "));
    ASSERT_TRUE(vidula_->WaitForCount("Frame size [", 60));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    EXPECT_EQ(1, vidula_->Count("Fail to write frame"));
    EXPECT_EQ(1, vidula_->Count(" frames could not be written to "));
    EXPECT_EQ(1, vidula_->Count("holds no frame; removed"));
    for (const std::string &f : Files()) ADD_FAILURE() << "left: " << f;
}

// The recording folder is missing: the start is tried again every few
// seconds, not at every frame, and the failure is reported once.
TEST_F(RecordingField, MissingFolderDoesNotFloodStorageChecks) {
    StartCamera();
    folder_ = root_.At("missing/");
    std::string conf = WriteConfig();
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{harness::BinDir() + "/vidula", "-v", "-c", conf});
    ASSERT_TRUE(vidula_->WaitForCount("Frame size [", 100));
    EXPECT_LE(vidula_->Count("Send signal 10 to pid"), 2);
    EXPECT_EQ(1, vidula_->Count("Fail to access recording root folder"));
    EXPECT_EQ(1, vidula_->Count("Fail to generate AVI file name"));
}

// The wall clock jumps 240 seconds ahead while recording: the file is
// finished without padding, and the next one is named after the new time.
TEST_F(RecordingField, ClockStepStartsANewFileInsteadOfPadding) {
    StartCamera();
    std::string shift = root_.Write("shift", "0");
    std::string conf = WriteConfig();
    vidula_ = std::make_unique<Process>(
        std::vector<std::string>{harness::BinDir() + "/vidula", "-c", conf},
        std::map<std::string, std::string>{{"TZ", "UTC"},
                                           {"LD_PRELOAD", harness::BinDir() + "/libclock_shift.so"},
                                           {"NAS_CLOCK_SHIFT_FILE", shift},
                                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    auto inProgress = [&] {
        std::vector<std::string> files;
        for (const std::string &f : Files()) {
            if (f.size() > 5 && f.compare(f.size() - 5, 5, "_.avi") == 0) files.push_back(f);
        }
        return files;
    };
    std::string first;
    ASSERT_TRUE(harness::WaitUntil([&] {
        std::vector<std::string> files = inProgress();
        if (files.size() != 1 || fs::file_size(folder_ + files[0]) < 60000) return false;
        first = files[0];
        return true;
    })) << vidula_->Output();
    root_.Write("shift", "240");
    ASSERT_TRUE(vidula_->WaitForLine("System time changed by 240 seconds"));
    std::string second;
    ASSERT_TRUE(harness::WaitUntil([&] {
        std::vector<std::string> files = inProgress();
        if (files.size() != 1 || files[0] == first || fs::file_size(folder_ + files[0]) < 60000) {
            return false;
        }
        second = files[0];
        return true;
    }));
    vidula_->Signal(SIGTERM);
    EXPECT_EQ(1, vidula_->WaitExit());
    std::set<std::string> files = Files();
    ASSERT_EQ(2u, files.size());
    for (const std::string &f : files) {
        int chunks = 0, withData = 0;
        EXPECT_TRUE(avitest::CountChunks(harness::ReadFile(folder_ + f), &chunks, &withData)) << f;
        EXPECT_GT(withData, 3) << f;
        EXPECT_LT(chunks - withData, 25) << f << ": empty frames";
    }
    // The second file's start is the first one's plus the step, or later.
    auto start = [](const std::string &name) {
        struct tm tm = {};
        strptime(name.substr(name.find("cam") + 3, 19).c_str(), "%Y-%m-%d#%H-%M-%S", &tm);
        return timegm(&tm);
    };
    EXPECT_GE(start(second) - start(first), 240);
}

}  // namespace
