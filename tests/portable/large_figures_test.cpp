// large_figures_test.cpp -- sizes above 2 GiB and 4 GiB come out whole on a
// 32-bit target as on the host: du and df figures as the storage check reads
// them, recordings of such sizes as the reclamation deletes them (sparse
// files, so no disk is used), and the real df of the test's volume.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "logging.h"
#include "storage.h"
#include "storage_parse.h"

namespace {

const int64_t kGiB = 1024LL * 1024 * 1024;

int64_t UsedFrom(const std::string &text) {
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    int64_t used = ReadSpaceOutput(in, TakeDuLine);
    fclose(in);
    return used;
}

int64_t FreeFrom(const std::string &text) {
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    int64_t free = ReadSpaceOutput(in, TakeDfLine);
    fclose(in);
    return free;
}

struct Figure {
    const char *kilobytes;
    int64_t bytes;
};
// Just below and above 2 GiB and 4 GiB, and a volume of 16 TiB.
const Figure kFigures[] = {
    {"2097151", 2 * kGiB - 1024}, {"2097153", 2 * kGiB + 1024},  {"4194303", 4 * kGiB - 1024},
    {"4194305", 4 * kGiB + 1024}, {"17179869184", 16384 * kGiB},
};

TEST(LargeFigures, DuAndDfAboveTwoAndFourGiB) {
    for (const Figure &f : kFigures) {
        EXPECT_EQ(UsedFrom(std::string(f.kilobytes) + "\t/mnt/USB5/C:/rec/2026\n" + f.kilobytes +
                           "\t/mnt/USB5/C:/rec/\n"),
                  f.bytes)
            << f.kilobytes;
        EXPECT_EQ(FreeFrom(std::string("Filesystem 1K-blocks Used Available Use% Mounted on\n"
                                       "/dev/sda1 99999999999 1 ") +
                           f.kilobytes + " 1% /mnt/USB5/C:\n"),
                  f.bytes)
            << f.kilobytes;
    }
}

class LargeRecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLogging("TARSEL");
        memset(&config_, 0, sizeof config_);
        config_.nvr_change_file_interval = 10;
        root_ = tmp_.At("rec/");
        snprintf(config_.nvr_record_folder, sizeof config_.nvr_record_folder, "%s", root_.c_str());
        snprintf(config_.recordFolderPrefix, sizeof config_.recordFolderPrefix, "%s",
                 root_.c_str());
    }
    // A sparse file of size bytes: ls -l shows the size, the disk holds nothing.
    std::string Sparse(const std::string &relative, int64_t size) {
        std::string path = tmp_.Write("rec/" + relative, "");
        int fd = open(path.c_str(), O_WRONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << relative;
        close(fd);
        return path;
    }
    harness::TempRoot tmp_;
    RecorderConfig config_;
    std::string root_;
};

TEST_F(LargeRecordingTest, DeletesRecordingsAboveTwoAndFourGiBWithTheirSizes) {
    std::string first =
        Sparse("2024/05/06/cam2024-05-06#10-00-00_2024-05-06#10-10-00.avi", 5 * kGiB + 17);
    std::string second =
        Sparse("2024/05/06/cam2024-05-06#11-00-00_2024-05-06#11-10-00.avi", 3 * kGiB + 1);
    struct stat st;
    ASSERT_EQ(stat(first.c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_size), 5 * kGiB + 17);
    EXPECT_EQ(DeleteOldestFile(&config_), 5 * kGiB + 17);
    EXPECT_FALSE(harness::FileExists(first));
    EXPECT_EQ(DeleteOldestFile(&config_), 3 * kGiB + 1);
    EXPECT_FALSE(harness::FileExists(second));
}

TEST_F(LargeRecordingTest, RealDfOfTheVolumeMatchesItsOwnFigure) {
    tmp_.Write("rec/.keep", "");
    harness::RunResult df =
        harness::Run({"sh", "-c", "df '" + root_ + "' | awk 'NR==2{print $4}'"});
    int64_t expected = atoll(df.output.c_str()) * 1024;
    int64_t measured = GetFolderFreeSpace(root_.c_str());
    ASSERT_GT(measured, 0);
    // The volume may change a little between the two readings.
    EXPECT_NEAR(static_cast<double>(measured), static_cast<double>(expected), 64.0 * 1024 * 1024);
}

}  // namespace
