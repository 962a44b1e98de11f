// Tests of the configuration loader: keys, conversions, range tests, echo
// lines, the final validation and hostile files.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "logging.h"

namespace {

using harness::ConfigText;
using harness::TempRoot;

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLogging("VIDULA");
        gLogging.verbose = 1;
        gLogging.consoleLogging = 1;
    }
    void TearDown() override { InitLogging("VIDULA"); }

    // Loads text; returns LoadConfig's result, the echo in *output.
    int Load(const std::string &text, std::string *output = nullptr) {
        std::string path = root_.Write("vidula.conf", text);
        testing::internal::CaptureStdout();
        int result = LoadConfig(&config_, path.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        if (output) *output = out;
        return result;
    }

    TempRoot root_;
    RecorderConfig config_;
};

TEST_F(ConfigTest, DefaultsAndEveryKey) {
    std::string out;
    ASSERT_EQ(0, Load(ConfigText({{"ipcam_type", "IPCAM_ZORVAN_30"},
                                  {"ipcam_port", "8080"},
                                  {"ipcam_username", "admin"},
                                  {"ipcam_password", "p#ss word"},
                                  {"ipcam_fps", "25fps"},
                                  {"nvr_video_name_prefix", "cam1_"},
                                  {"nvr_change_file_interval", "5"},
                                  {"nvr_max_storage_space", "5000000000"},
                                  {"nvr_recycle_storage", "no"},
                                  {"nvr_max_file_size", "1000000"},
                                  {"nvr_connection_idle_timeout", "0"},
                                  {"nvr_max_read_size", "0"},
                                  {"nvr_record_type", "whatever"},
                                  {"nvr_log_mq", "/tmp/log"},
                                  {"nvr_log_console", "yes"},
                                  {"nvr_manager_mq", "/tmp/mgr"},
                                  {"lvs_server_port", "8090"}}),
                      &out));
    EXPECT_EQ(CAMERA_TYPE_ZORVAN, config_.ipcam_type);
    EXPECT_STREQ("127.0.0.1", config_.ipcam_address);
    EXPECT_EQ(8080, config_.ipcam_port);
    EXPECT_STREQ("admin", config_.ipcam_username);
    EXPECT_STREQ("p#ss word", config_.ipcam_password);
    EXPECT_EQ(25, config_.ipcam_fps);
    EXPECT_STREQ("GET /mjpg/video.mjpg HTTP/1.0", config_.ipcam_http_command);
    EXPECT_STREQ("cam1_", config_.nvr_video_name_prefix);
    EXPECT_EQ(5, config_.nvr_change_file_interval);
    EXPECT_EQ(5000000000LL, config_.nvr_max_storage_space);
    EXPECT_EQ(0, config_.nvr_recycle_storage);
    EXPECT_EQ(1000000, config_.nvr_max_file_size);
    EXPECT_EQ(0, config_.nvr_connection_idle_timeout);
    EXPECT_EQ(0, config_.nvr_max_read_size);
    EXPECT_EQ(1, config_.nvr_log_console);
    EXPECT_EQ(8090, config_.lvs_server_port);

    const char *echoes[] = {
        "LoadConfig() init",
        "ipcam_type=100 (IPCAM_ZORVAN_30)",
        "ipcam_port=8080",
        "ipcam_password=p#ss word",
        "ipcam_fps=25\n",
        "ipcam_http_command=GET /mjpg/video.mjpg HTTP/1.0",
        "nvr_max_storage_space=5000000000",
        "nvr_recycle_storage=0(no)",
        "nvr_max_file_size=1000000",
        "nvr_connection_idle_timeout=0",
        "nvr_max_read_size=0",
        "nvr_log_console=1(yes)",
        "lvs_server_port=8090",
    };
    for (const char *echo : echoes) EXPECT_NE(std::string::npos, out.find(echo)) << echo;
    EXPECT_EQ(std::string::npos, out.find("nvr_record_type")) << out;
    // The load line is an event: printed since console logging is on here.
    EXPECT_NE(std::string::npos, out.find(") Load config file: ")) << out;
}

TEST_F(ConfigTest, DefaultsWhenKeysAreAbsent) {
    ASSERT_EQ(0, Load(ConfigText({})));
    EXPECT_EQ(10, config_.nvr_change_file_interval);
    EXPECT_EQ(1, config_.nvr_recycle_storage);
    EXPECT_EQ(1073741824, config_.nvr_max_file_size);
    EXPECT_EQ(300, config_.nvr_connection_idle_timeout);
    EXPECT_EQ(2048, config_.nvr_max_read_size);
    EXPECT_EQ(1, config_.nvr_log_console);
    EXPECT_EQ(0, config_.lvs_server_port);
    EXPECT_STREQ("", config_.nvr_log_mq);
}

TEST_F(ConfigTest, LineSyntax) {
    // CR LF ends, a trailing blank kept in the value, a space instead of the
    // TAB makes the line unreadable, "#" only comments in column one, a key
    // that occurs twice takes the later value, unknown keys are skipped.
    std::string text =
        "# comment\r\n"
        "ipcam_type\tIPCAM_OTHER\r\n"
        "ipcam_address\t10.0.0.9\r\n"
        "ipcam_port\t8080 \r\n"
        "ipcam_video_width\t320\r\n"
        "ipcam_video_height\t240\r\n"
        "ipcam_fps\t5\r\n"
        "ipcam_fps\t7\r\n"
        "nvr_record_folder\t/mnt/rec/ \r\n"
        " nvr_max_storage_space\t1\r\n"
        "ipcam_username\t#admin\r\n"
        "nvr_max_storage_space\t100\r\n"
        "unknown_key\tx\r\n"
        "\tno key\r\n"
        "ipcam_username\t\r\n"
        "nvr_video_name_prefix\ta\tb c\r\n";
    ASSERT_EQ(0, Load(text));
    EXPECT_EQ(8080, config_.ipcam_port);
    EXPECT_EQ(7, config_.ipcam_fps);
    EXPECT_STREQ("/mnt/rec/ ", config_.nvr_record_folder);
    EXPECT_EQ(100, config_.nvr_max_storage_space);
    EXPECT_STREQ("#admin", config_.ipcam_username);  // the empty value later kept it
    EXPECT_STREQ("a\tb c", config_.nvr_video_name_prefix);
}

TEST_F(ConfigTest, CrLfFileLoadsLikeLf) {
    std::string lf = ConfigText({{"lvs_server_port", "81"}, {"nvr_log_console", "yes"}});
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_EQ(0, Load(lf));
    RecorderConfig first = config_;
    ASSERT_EQ(0, Load(crlf));
    EXPECT_EQ(0, memcmp(&first, &config_, sizeof(config_)));
}

TEST_F(ConfigTest, CameraTypesAreFoundAsSubstrings) {
    const struct {
        const char *value;
        int code;
    } cases[] = {
        {"IPCAM_ZORVAN_15", CAMERA_TYPE_ZORVAN}, {"IPCAM_ZORVAN_30", CAMERA_TYPE_ZORVAN},
        {"IPCAM_AXIS", CAMERA_TYPE_AXIS},        {"MY_IPCAM_AXIS_CAM", CAMERA_TYPE_AXIS},
        {"IPCAM_OTHER", CAMERA_TYPE_OTHER},      {"xIPCAM_OTHERx", CAMERA_TYPE_OTHER},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, Load(ConfigText({{"ipcam_type", c.value}})));
        EXPECT_EQ(c.code, config_.ipcam_type) << c.value;
    }
}

TEST_F(ConfigTest, RequestLineIsBuiltFromTheCommand) {
    const struct {
        const char *value;
        const char *line;
    } cases[] = {
        {"/video.cgi", "GET /video.cgi HTTP/1.0"},
        {"/axis-cgi/mjpg/video.cgi", "GET /axis-cgi/mjpg/video.cgi HTTP/1.0"},
        {"GET /x HTTP/1.1", "GET /x HTTP/1.1"},
        {"POST /x", "POST /x HTTP/1.0"},
        {"/y HTTP/1.1", "GET /y HTTP/1.1"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, Load(ConfigText({{"ipcam_http_command", c.value}})));
        EXPECT_STREQ(c.line, config_.ipcam_http_command) << c.value;
    }
}

TEST_F(ConfigTest, FlagsAreOnlyYes) {
    for (const char *value : {"YES", "1", "yes ", "true"}) {
        ASSERT_EQ(0,
                  Load(ConfigText({{"nvr_recycle_storage", value}, {"nvr_log_console", value}})));
        EXPECT_EQ(0, config_.nvr_recycle_storage) << value;
        EXPECT_EQ(0, config_.nvr_log_console) << value;
    }
}

TEST_F(ConfigTest, LargeFileSizeIsLoweredWithAnError) {
    std::string out;
    ASSERT_EQ(0, Load(ConfigText({{"nvr_max_file_size", "2147483648"}}), &out));
    EXPECT_EQ(1073741824, config_.nvr_max_file_size);
    EXPECT_NE(std::string::npos,
              out.find("Error: The max file size (2147483648) in config file is too large"));
    EXPECT_NE(std::string::npos, out.find("nvr_max_file_size=1073741824"));
}

TEST_F(ConfigTest, MissingValuesAreAllReported) {
    std::string out;
    EXPECT_EQ(1, Load("# only a comment\n", &out));
    const char *messages[] = {
        "Error: No valid IP camera type assigned",
        "Error: No valid IP camera address assigned",
        "Error: No valid IP camera port number assigned",
        "Error: No valid IP camera video width resolution assigned",
        "Error: No valid IP camera video height resolution assigned",
        "Error: No valid IP camera frame rate assigned",
        "Error: No valid NVR recording folder assigned",
        "Error: No valid NVR max storage space assigned",
    };
    size_t at = 0;
    for (const char *m : messages) {
        size_t found = out.find(m, at);
        EXPECT_NE(std::string::npos, found) << m;  // and in this order
        if (found != std::string::npos) at = found;
    }
}

TEST_F(ConfigTest, PortWithSpaceInsteadOfTabIsMissing) {
    std::string text = ConfigText({{"ipcam_port", ""}}) + "ipcam_port 8080\n";
    std::string out;
    EXPECT_EQ(1, Load(text, &out));
    EXPECT_NE(std::string::npos, out.find("No valid IP camera port number assigned"));
}

// Runs LoadConfig in a child; returns its exit status and what it printed.
// The child ends as the programs do: status 1 for CONFIG_FATAL, else
// LoadConfig's result + 10.
static harness::RunResult LoadInChild(RecorderConfig *config, const std::string &path) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, ""};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        int result = LoadConfig(config, path.c_str());
        _exit(result == CONFIG_FATAL ? 1 : result + 10);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Fatal values end the process with status 1 after their message.
TEST_F(ConfigTest, FatalValues) {
    const struct {
        const char *key;
        const char *value;
        const char *message;
    } cases[] = {
        {"ipcam_type", "IPCAM_NONE", "Error: Unknown IP camera: IPCAM_NONE"},
        {"ipcam_port", "0", "Error: Invalid IP camera port number: 0"},
        {"ipcam_port", "abc", "Error: Invalid IP camera port number: abc"},
        {"ipcam_video_width", "-1", "Error: Invalid IP camera video width number: -1"},
        {"ipcam_video_height", "0", "Error: Invalid IP camera video height number: 0"},
        {"ipcam_fps", "101", "Error: Invalid IP camera frame rate number: 101"},
        {"ipcam_fps", "0", "Error: Invalid IP camera frame rate number: 0"},
        {"nvr_change_file_interval", "61", "Error: Invalid NVR change-file-interval number: 61"},
        {"nvr_change_file_interval", "0", "Error: Invalid NVR change-file-interval number: 0"},
        {"nvr_max_storage_space", "0", "Error: Invalid NVR max storage space number: 0"},
        {"nvr_max_file_size", "-5", "Error: Invalid NVR max file size number: -5"},
        {"nvr_max_file_size", "0", "Error: Invalid NVR max file size number: 0"},
        {"nvr_connection_idle_timeout", "-1",
         "Error: Invalid NVR connection idle timeout number: -1"},
        {"nvr_max_read_size", "-2048", "Error: Invalid NVR max read size number: -2048"},
        {"lvs_server_port", "-80", "Error: Invalid Live Video Server port number: -80"},
        // TCP ports end at 65535; a larger number would wrap to another port.
        {"ipcam_port", "90682", "Error: Invalid IP camera port number: 90682"},
        {"lvs_server_port", "65536", "Error: Invalid Live Video Server port number: 65536"},
    };
    for (const auto &c : cases) {
        std::string path = root_.Write("fatal.conf", ConfigText({{c.key, c.value}}));
        harness::RunResult r = LoadInChild(&config_, path);
        EXPECT_EQ(1, r.status) << c.key << "=" << c.value;
        EXPECT_NE(std::string::npos, r.output.find(std::string(c.message) + "\n")) << r.output;
    }
}

TEST_F(ConfigTest, UnreadableFileIsFatal) {
    harness::RunResult r = LoadInChild(&config_, root_.At("missing.conf"));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.output.find("Error: Fail to open config file")) << r.output;
}

// A value longer than its field is refused, never written past the field.
TEST_F(ConfigTest, OverlongValuesAreRefused) {
    const struct {
        const char *key;
        size_t fits;
    } cases[] = {
        {"ipcam_address", 255},
        {"ipcam_username", 255},
        {"ipcam_password", 255},
        {"nvr_video_name_prefix", 255},
        {"ipcam_http_command", 299 - 4 - 9},
    };
    for (const auto &c : cases) {
        std::string fits = "/" + std::string(c.fits - 1, 'a');
        ASSERT_EQ(0, Load(ConfigText({{c.key, fits}}))) << c.key;
        std::string path = root_.Write("long.conf", ConfigText({{c.key, fits + "a"}}));
        harness::RunResult r = LoadInChild(&config_, path);
        EXPECT_EQ(1, r.status) << c.key;
        EXPECT_NE(std::string::npos,
                  r.output.find(std::string("Error: Value of ") + c.key + " is longer than"))
            << r.output;
    }
}

// Values are read into 1023 characters, which the 1024-byte fields hold.
TEST_F(ConfigTest, LongValuesAreCutTo1023Characters) {
    ASSERT_EQ(0, Load(ConfigText({{"nvr_record_folder", "/" + std::string(1500, 'f')}})));
    EXPECT_EQ("/" + std::string(1022, 'f'), std::string(config_.nvr_record_folder));
}

TEST(ConfigFields, SplitKeyAndValue) {
    const struct {
        std::string line;
        const char *key;
        const char *value;
    } cases[] = {
        {"k\tv\n", "k", "v"},
        {"k\tv\r\n", "k", "v"},
        {"k v\n", "k v", ""},
        {"\tv\n", "", "v"},
        {"k\t\n", "k", ""},
        {std::string("k\0\tv\n", 5), "k", ""},
        {std::string("k\tv\0w\n", 6), "k", "v"},
        {"k\tv", "k", "v"},
    };
    for (const auto &c : cases) {
        char key[16], value[16];
        SplitKeyField(c.line.data(), c.line.size(), key, sizeof(key));
        SplitValueField(c.line.data(), c.line.size(), value, sizeof(value));
        EXPECT_STREQ(c.key, key);
        EXPECT_STREQ(c.value, value);
    }
    char small[4];
    EXPECT_EQ(3u, SplitKeyField("abcdef\tvalue", 12, small, sizeof(small)));
    EXPECT_STREQ("abc", small);
    EXPECT_EQ(3u, SplitValueField("k\tvalue", 7, small, sizeof(small)));
    EXPECT_STREQ("val", small);
}

// Files of any content load or are refused; none crashes or overruns.
TEST_F(ConfigTest, HostileFiles) {
    std::string binary;
    unsigned seed = 7;
    for (int i = 0; i < 200000; i++) {
        seed = seed * 1103515245 + 12345;
        binary += static_cast<char>(seed >> 16);
    }
    std::string longLine = "ipcam_address\t" + std::string(3 << 20, 'x') + "\n";
    std::string longKey = std::string(5000, 'k') + "\tvalue\n";
    std::string nuls = std::string("ipcam_port\t80\0\0\0", 16) + "\n" + std::string(100, '\0');
    std::string noNewline = ConfigText({}) + "lvs_server_port\t99";
    for (const std::string &text : {binary, longKey, nuls}) {
        harness::RunResult r = LoadInChild(&config_, root_.Write("hostile.conf", text));
        EXPECT_EQ(11, r.status);  // returned 1: mandatory values missing
    }
    harness::RunResult r = LoadInChild(&config_, root_.Write("hostile.conf", longLine));
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(0, Load(noNewline));
    EXPECT_EQ(99, config_.lvs_server_port);
    ASSERT_EQ(0, Load(ConfigText({{"ipcam_port", ""}}) + nuls));
    EXPECT_EQ(80, config_.ipcam_port);
}

}  // namespace
