// config.h -- the configuration file of vidula and tarsel.
//
// Lines of key, one TAB, value; "#" in the first column starts a comment.
// LoadConfig fills a RecorderConfig from defaults and then from the file,
// tests each value, echoes it with LogInfo, and reports missing mandatory
// values at the end. A value out of range ends the process with status 1.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Camera type codes of ipcam_type.
enum {
    CAMERA_TYPE_NONE = 0,
    CAMERA_TYPE_OTHER = 1,
    CAMERA_TYPE_ZORVAN = 100,
    CAMERA_TYPE_AXIS = 1000,
};

// Field capacities in bytes, terminating NUL included.
enum {
    CONFIG_PATH_SIZE = 1040,
    CONFIG_NAME_SIZE = 256,
    CONFIG_HTTP_COMMAND_SIZE = 300,
    CONFIG_FOLDER_SIZE = 1024,
    CONFIG_FIELD_BUFFER_SIZE = 1024,  // key and value are cut to 1023 characters
};

// The largest recording file, and the default of nvr_max_file_size.
const int64_t MAX_RECORDING_FILE_SIZE = 1073741824;

struct RecorderConfig {
    char configPath[CONFIG_PATH_SIZE];     // the file this record was loaded from
    int32_t ipcam_type;                    // CAMERA_TYPE_*
    char ipcam_address[CONFIG_NAME_SIZE];  // camera host
    int32_t ipcam_port;                    // camera TCP port
    char ipcam_username[CONFIG_NAME_SIZE];
    char ipcam_password[CONFIG_NAME_SIZE];
    int32_t ipcam_video_width;                          // pixels
    int32_t ipcam_video_height;                         // pixels
    int32_t ipcam_fps;                                  // 1 to 100
    char ipcam_http_command[CONFIG_HTTP_COMMAND_SIZE];  // the whole request line
    char nvr_record_folder[CONFIG_FOLDER_SIZE];         // recording root, ends with "/"
    char nvr_video_name_prefix[CONFIG_NAME_SIZE];
    int32_t nvr_change_file_interval;         // minutes per file, 1 to 60
    int64_t nvr_max_storage_space;            // quota in bytes
    unsigned char nvr_recycle_storage;        // 1: delete the oldest recordings
    int64_t nvr_max_file_size;                // bytes, at most MAX_RECORDING_FILE_SIZE
    int32_t nvr_connection_idle_timeout;      // seconds; 0: no idle check
    int32_t nvr_max_read_size;                // bytes per camera read; 0: no limit
    char nvr_log_mq[CONFIG_FOLDER_SIZE];      // log queue key path; empty: none
    unsigned char nvr_log_console;            // 1: log lines go to standard output
    char nvr_manager_mq[CONFIG_FOLDER_SIZE];  // manager queue key path; empty: none
    int32_t lvs_server_port;                  // live video port; 0: no server
    // nvr_record_folder with a "/" added when it lacks one: the prefix of
    // every path under the recording root, so that vidula and tarsel work
    // on the same tree whether or not the value ends with "/".
    char recordFolderPrefix[CONFIG_FOLDER_SIZE + 1];
};

// LoadConfig's result for a fatal error: the file cannot be opened, a value
// is out of range or does not fit its field. The error is logged; the caller
// ends the process with status 1 (vidula through Shutdown, so that tarsel
// stops too). Reading stops at the first fatal value.
enum { CONFIG_FATAL = -1 };

// Loads path into config. Returns 0 when every mandatory value is present,
// 1 when one is missing, CONFIG_FATAL as above.
// REQUIRES: strlen(path) < CONFIG_PATH_SIZE.
int LoadConfig(RecorderConfig *config, const char *path);

// Copies the key of line (the text before the first TAB, stopping at CR, LF
// or NUL) into out, at most outSize - 1 characters. Returns its length.
size_t SplitKeyField(const char *line, size_t lineLength, char *out, size_t outSize);

// Copies the value of line (after the first TAB up to CR, LF, NUL or the end)
// into out, at most outSize - 1 characters. Returns its length; 0 when there
// is no TAB in the line.
size_t SplitValueField(const char *line, size_t lineLength, char *out, size_t outSize);

// Builds the camera request line from the value of "ipcam_http_command".
// Returns 0, or 1 when it does not fit in outSize bytes.
int BuildHttpCommand(const char *value, char *out, size_t outSize);
