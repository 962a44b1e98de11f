// sample_config_test.cpp -- the installed sample vidula.conf loads cleanly
// and documents every key on a comment line of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "config.h"

namespace {

const char *const kKeys[] = {
    "ipcam_type",
    "ipcam_address",
    "ipcam_port",
    "ipcam_username",
    "ipcam_password",
    "ipcam_video_width",
    "ipcam_video_height",
    "ipcam_fps",
    "ipcam_http_command",
    "nvr_record_folder",
    "nvr_video_name_prefix",
    "nvr_change_file_interval",
    "nvr_max_storage_space",
    "nvr_recycle_storage",
    "nvr_max_file_size",
    "nvr_connection_idle_timeout",
    "nvr_max_read_size",
    "nvr_record_type",
    "nvr_log_mq",
    "nvr_log_console",
    "nvr_manager_mq",
    "lvs_server_port",
};

TEST(SampleConfig, LoadsWithEveryMandatoryValue) {
    RecorderConfig config;
    ASSERT_EQ(LoadConfig(&config, NAS_SAMPLE_CONFIG), 0);
    EXPECT_EQ(config.ipcam_type, CAMERA_TYPE_ZORVAN);
    EXPECT_STREQ(config.ipcam_http_command, "GET /mjpg/video.mjpg HTTP/1.0");
    EXPECT_EQ(config.ipcam_fps, 10);
    EXPECT_EQ(config.nvr_max_storage_space, 10737418240LL);
    EXPECT_EQ(config.nvr_max_file_size, MAX_RECORDING_FILE_SIZE);
    EXPECT_EQ(config.nvr_recycle_storage, 1);
    EXPECT_EQ(config.nvr_log_console, 1);
    EXPECT_EQ(config.lvs_server_port, 8090);
}

TEST(SampleConfig, EveryKeyHasOneCommentAndOneLine) {
    std::ifstream in(NAS_SAMPLE_CONFIG);
    std::set<std::string> commented, given;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# ", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) commented.insert(line.substr(2, colon - 2));
        } else if (!line.empty() && line[0] != '#') {
            given.insert(line.substr(0, line.find('\t')));
        }
    }
    for (const char *key : kKeys) {
        EXPECT_EQ(commented.count(key), 1u) << key << " has no comment line";
        EXPECT_EQ(given.count(key), 1u) << key << " has no line";
    }
    EXPECT_EQ(given.size(), sizeof(kKeys) / sizeof(kKeys[0]));
}

}  // namespace
