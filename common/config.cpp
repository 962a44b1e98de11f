// config.cpp -- LoadConfig: reads, tests and echoes the configuration file.
#include "config.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "logging.h"

// How one key is converted, tested and echoed.
enum ConfigKind {
    KIND_TEXT,          // copied into a text field
    KIND_INT,           // decimal, range-tested
    KIND_INT64,         // decimal 64-bit, range-tested
    KIND_FLAG,          // exactly "yes" gives 1
    KIND_CAMERA_TYPE,   // substring search for the camera type
    KIND_HTTP_COMMAND,  // built into a request line
    KIND_FILE_SIZE,     // 64-bit, lowered to the largest file size
    KIND_IGNORED,       // accepted, not interpreted, not echoed
};

struct ConfigKey {
    const char *name;
    ConfigKind kind;
    size_t offset;      // of the field in RecorderConfig
    size_t size;        // of a text field
    long long low;      // smallest accepted number
    long long high;     // largest accepted number
    const char *fatal;  // message when out of range; %s is the raw value
};

#define FIELD(f) offsetof(RecorderConfig, f), sizeof(RecorderConfig::f)

static const ConfigKey kConfigKeys[] = {
    {"ipcam_type", KIND_CAMERA_TYPE, FIELD(ipcam_type), 0, 0, "Unknown IP camera: %s"},
    {"ipcam_address", KIND_TEXT, FIELD(ipcam_address), 0, 0, nullptr},
    {"ipcam_port", KIND_INT, FIELD(ipcam_port), 1, 65535, "Invalid IP camera port number: %s"},
    {"ipcam_username", KIND_TEXT, FIELD(ipcam_username), 0, 0, nullptr},
    {"ipcam_password", KIND_TEXT, FIELD(ipcam_password), 0, 0, nullptr},
    {"ipcam_video_width", KIND_INT, FIELD(ipcam_video_width), 1, INT_MAX,
     "Invalid IP camera video width number: %s"},
    {"ipcam_video_height", KIND_INT, FIELD(ipcam_video_height), 1, INT_MAX,
     "Invalid IP camera video height number: %s"},
    {"ipcam_fps", KIND_INT, FIELD(ipcam_fps), 1, 100, "Invalid IP camera frame rate number: %s"},
    {"ipcam_http_command", KIND_HTTP_COMMAND, FIELD(ipcam_http_command), 0, 0, nullptr},
    {"nvr_record_folder", KIND_TEXT, FIELD(nvr_record_folder), 0, 0, nullptr},
    {"nvr_video_name_prefix", KIND_TEXT, FIELD(nvr_video_name_prefix), 0, 0, nullptr},
    {"nvr_change_file_interval", KIND_INT, FIELD(nvr_change_file_interval), 1, 60,
     "Invalid NVR change-file-interval number: %s"},
    {"nvr_max_storage_space", KIND_INT64, FIELD(nvr_max_storage_space), 1, LLONG_MAX,
     "Invalid NVR max storage space number: %s"},
    {"nvr_recycle_storage", KIND_FLAG, FIELD(nvr_recycle_storage), 0, 0, nullptr},
    {"nvr_max_file_size", KIND_FILE_SIZE, FIELD(nvr_max_file_size), 1, LLONG_MAX,
     "Invalid NVR max file size number: %s"},
    {"nvr_connection_idle_timeout", KIND_INT, FIELD(nvr_connection_idle_timeout), 0, INT_MAX,
     "Invalid NVR connection idle timeout number: %s"},
    {"nvr_max_read_size", KIND_INT, FIELD(nvr_max_read_size), 0, INT_MAX,
     "Invalid NVR max read size number: %s"},
    {"nvr_record_type", KIND_IGNORED, 0, 0, 0, 0, nullptr},
    {"nvr_log_mq", KIND_TEXT, FIELD(nvr_log_mq), 0, 0, nullptr},
    {"nvr_log_console", KIND_FLAG, FIELD(nvr_log_console), 0, 0, nullptr},
    {"nvr_manager_mq", KIND_TEXT, FIELD(nvr_manager_mq), 0, 0, nullptr},
    {"lvs_server_port", KIND_INT, FIELD(lvs_server_port), 0, 65535,
     "Invalid Live Video Server port number: %s"},
};

#undef FIELD

static bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

size_t SplitKeyField(const char *line, size_t lineLength, char *out, size_t outSize) {
    if (outSize == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; i < lineLength && line[i] != '\t' && !IsLineEnd(line[i]); i++) {
        if (n + 1 < outSize) out[n++] = line[i];
    }
    out[n] = '\0';
    return n;
}

size_t SplitValueField(const char *line, size_t lineLength, char *out, size_t outSize) {
    if (outSize == 0) return 0;
    out[0] = '\0';
    size_t i = 0;
    while (i < lineLength && line[i] != '\t' && !IsLineEnd(line[i])) i++;
    if (i >= lineLength || line[i] != '\t') return 0;
    size_t n = 0;
    for (i++; i < lineLength && !IsLineEnd(line[i]); i++) {
        if (n + 1 < outSize) out[n++] = line[i];
    }
    out[n] = '\0';
    return n;
}

int BuildHttpCommand(const char *value, char *out, size_t outSize) {
    const char *suffix = strstr(value, "HTTP/") == nullptr ? " HTTP/1.0" : "";
    const char *prefix = value[0] == '/' ? "GET " : "";
    int n = snprintf(out, outSize, "%s%s%s", prefix, value, suffix);
    if (n < 0 || static_cast<size_t>(n) >= outSize) {
        if (outSize > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

// Decimal conversion as atoi/atoll read it (leading blanks, sign, digits,
// stop at the first other character), without overflow: out-of-range
// numbers saturate.
static long long ParseDecimal(const char *text, long long low, long long high) {
    errno = 0;
    long long v = strtoll(text, nullptr, 10);
    if (v < low) return low;
    if (v > high) return high;
    return v;
}

static int ConfigFatal(const char *format, const char *value) {
    LogError(format, value);
    return CONFIG_FATAL;
}

static void SetDefaults(RecorderConfig *config, const char *path) {
    memset(config, 0, sizeof(*config));
    snprintf(config->configPath, sizeof(config->configPath), "%s", path);
    config->nvr_change_file_interval = 10;
    config->nvr_recycle_storage = 1;
    config->nvr_max_file_size = MAX_RECORDING_FILE_SIZE;
    config->nvr_connection_idle_timeout = 300;
    config->nvr_max_read_size = 2048;
    config->nvr_log_console = 1;
}

static int CameraTypeOf(const char *value) {
    static const struct {
        const char *name;
        int code;
    } kTypes[] = {
        {"IPCAM_ZORVAN_15", CAMERA_TYPE_ZORVAN},
        {"IPCAM_ZORVAN_30", CAMERA_TYPE_ZORVAN},
        {"IPCAM_AXIS", CAMERA_TYPE_AXIS},
        {"IPCAM_OTHER", CAMERA_TYPE_OTHER},
    };
    for (const auto &t : kTypes) {
        if (strstr(value, t.name) != nullptr) return t.code;
    }
    return CAMERA_TYPE_NONE;
}

// A text value longer than its field is refused rather than cut: a cut
// address, folder or request line would quietly record the wrong thing.
static int StoreText(const ConfigKey &key, char *field, const char *value) {
    if (strlen(value) >= key.size) {
        LogError("Value of %s is longer than %d characters", key.name,
                 static_cast<int>(key.size) - 1);
        return CONFIG_FATAL;
    }
    memcpy(field, value, strlen(value) + 1);
    return 0;
}

// Stores value in its field. Returns 0, or CONFIG_FATAL (message logged).
static int ApplyKey(RecorderConfig *config, const ConfigKey &key, const char *value) {
    char *base = reinterpret_cast<char *>(config);
    char *field = base + key.offset;
    switch (key.kind) {
        case KIND_TEXT:
            if (StoreText(key, field, value) != 0) return CONFIG_FATAL;
            LogInfo("%s=%s", key.name, field);
            break;
        case KIND_INT: {
            long long v = ParseDecimal(value, INT_MIN, INT_MAX);
            if (v < key.low || v > key.high) return ConfigFatal(key.fatal, value);
            int32_t stored = static_cast<int32_t>(v);
            memcpy(field, &stored, sizeof(stored));
            LogInfo("%s=%d", key.name, stored);
            break;
        }
        case KIND_INT64:
        case KIND_FILE_SIZE: {
            long long v = ParseDecimal(value, LLONG_MIN, LLONG_MAX);
            if (v < key.low || v > key.high) return ConfigFatal(key.fatal, value);
            if (key.kind == KIND_FILE_SIZE && v > MAX_RECORDING_FILE_SIZE) {
                LogError("The max file size (%s) in config file is too large", value);
                v = MAX_RECORDING_FILE_SIZE;
            }
            int64_t stored = v;
            memcpy(field, &stored, sizeof(stored));
            LogInfo("%s=%lld", key.name, static_cast<long long>(stored));
            break;
        }
        case KIND_FLAG: {
            unsigned char flag = strcmp(value, "yes") == 0 ? 1 : 0;
            *reinterpret_cast<unsigned char *>(field) = flag;
            LogInfo("%s=%d(%s)", key.name, flag, value);
            break;
        }
        case KIND_CAMERA_TYPE: {
            int32_t code = CameraTypeOf(value);
            if (code == CAMERA_TYPE_NONE) return ConfigFatal(key.fatal, value);
            memcpy(field, &code, sizeof(code));
            LogInfo("%s=%d (%s)", key.name, code, value);
            break;
        }
        case KIND_HTTP_COMMAND:
            if (BuildHttpCommand(value, field, key.size) != 0) {
                LogError("Value of %s is longer than %d characters", key.name,
                         static_cast<int>(key.size) - 1);
                return CONFIG_FATAL;
            }
            LogInfo("%s=%s", key.name, field);
            break;
        case KIND_IGNORED:
            break;
    }
    return 0;
}

// Applies one line of the file. Returns 0, or CONFIG_FATAL.
static int ParseLine(RecorderConfig *config, const char *line, size_t length) {
    if (length == 0 || line[0] == '#') return 0;
    char key[CONFIG_FIELD_BUFFER_SIZE];
    char value[CONFIG_FIELD_BUFFER_SIZE];
    if (SplitKeyField(line, length, key, sizeof(key)) == 0) return 0;
    if (SplitValueField(line, length, value, sizeof(value)) == 0) return 0;
    for (const ConfigKey &k : kConfigKeys) {
        if (strcmp(k.name, key) == 0) return ApplyKey(config, k, value);
    }
    return 0;
}

static int ValidateConfig(const RecorderConfig *config) {
    const struct {
        bool missing;
        const char *message;
    } kChecks[] = {
        {config->ipcam_type == 0, "No valid IP camera type assigned"},
        {config->ipcam_address[0] == '\0', "No valid IP camera address assigned"},
        {config->ipcam_port == 0, "No valid IP camera port number assigned"},
        {config->ipcam_video_width == 0, "No valid IP camera video width resolution assigned"},
        {config->ipcam_video_height == 0, "No valid IP camera video height resolution assigned"},
        {config->ipcam_fps == 0, "No valid IP camera frame rate assigned"},
        {config->nvr_record_folder[0] == '\0', "No valid NVR recording folder assigned"},
        {config->nvr_max_storage_space == 0, "No valid NVR max storage space assigned"},
    };
    int result = 0;
    for (const auto &check : kChecks) {
        if (check.missing) {
            LogError("%s", check.message);
            result = 1;
        }
    }
    return result;
}

int LoadConfig(RecorderConfig *config, const char *path) {
    SetDefaults(config, path);
    LogInfo("LoadConfig() init");
    LogEvent(LOG_CONSOLE | LOG_QUEUE, "Load config file: %s", path);
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        std::string detail = std::string(" ") + path + ": " + strerror(errno);
        LogErrorWithDetail(detail.c_str(), "Fail to open config file");
        return CONFIG_FATAL;
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    int fatal = 0;
    while (fatal == 0 && (length = getline(&line, &capacity, file)) > 0) {
        fatal = ParseLine(config, line, static_cast<size_t>(length));
    }
    free(line);
    fclose(file);
    if (fatal != 0) return CONFIG_FATAL;
    size_t folderLength = strlen(config->nvr_record_folder);
    bool needsSlash = folderLength > 0 && config->nvr_record_folder[folderLength - 1] != '/';
    snprintf(config->recordFolderPrefix, sizeof(config->recordFolderPrefix), "%s%s",
             config->nvr_record_folder, needsSlash ? "/" : "");
    return ValidateConfig(config);
}
