// flash_settings.h -- the appliance's settings, read from the flash device by identifier.
//
// One store per process. FlashSettingsInit takes a copy of the whole device
// (the mirror) and reads the hardware and current-settings blocks and the
// twelve lists; FlashSettingsGet then returns single settings by identifier
// (see flash_tables.h for the rows and value types); FlashSettingsReload
// drops everything and reads again, so that settings changed by the
// appliance's writers become visible. Every device access holds the reader
// lock (flash_lock.h) and so may wait up to 3 x 10 seconds for a writer.
// Block problems are reported on standard output (flash_block.h).
//
// Results: every function here answers whether the store (or the setting) is
// there, 1 for yes and 0 for no, as the daemons that read settings test it.
// The mirror itself, with the 0 / -1 results of common/, is flash_mirror.h.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// Identifiers of the settings the daemons read (rows of flash_tables.cpp),
// named here once for all of them.
enum {
    SETTING_USER_NAME = 50,         // the administrator's name
    SETTING_USER_PASSWORD = 51,     // the administrator's password
    SETTING_NAS_USER_NAME = 345,    // the accounts, comma-separated
    SETTING_NAS_USER_PASSWD = 346,  // their passwords, in the same order
    SETTING_BT_ENABLE = 352,
    SETTING_MEDIA_SERVER_ENABLE = 353,
    SETTING_MEDIA_RESCAN_INTERVAL = 355,
    SETTING_ITUNES_ENABLE = 357,
    SETTING_ITUNES_MUSIC_DIR = 359,
    SETTING_DOWNLOAD_ENABLE = 365,
    SETTING_FTP_CLIENT_LANG = 366,
    SETTING_EMAIL_BT = 393,
    SETTING_EMAIL_ENABLE = 399,
    SETTING_EMAIL_LANGUAGE = 402,
    SETTING_QUOTA_ENABLE = 407,
    SETTING_QUOTA_ALERT = 408,
    SETTING_QUOTA_MAIL_FREQUENCY = 409,
};

// Readies the store. Returns 1 when it is ready, 0 on failure (no mirror,
// a block missing or invalid, a list count above its capacity), leaving the
// store uninitialised. When the store is already ready, only takes the
// mirror again and returns 1 without re-reading the blocks.
int FlashSettingsInit(void);

// Drops the mirror, the blocks and the lists and initialises again. Returns
// the result of that initialisation; 0 when no mirror was ever taken or the
// store was not initialised (it then stays so).
int FlashSettingsReload(void);

// Copies the value of setting id into buffer and returns 1; returns 0 and
// leaves the buffer unchanged when the store is not ready, the identifier is
// unknown, or a list has no entry of the number asked for.
//   numbers (types 0, 1, 20, 22, 23): a 32-bit int in host order;
//   text (2): the text and its NUL, at most the row's size bytes (a stored
//     text without a NUL is cut to size - 1 bytes);
//   raw bytes (3 to 7, 21): the row's size bytes;
//   lists (8 to 19): the caller puts the 1-based entry number in buffer[0]
//     (0 counts as 1) and receives that entry, entry-size bytes.
// REQUIRES: buffer has room for SettingValueSize(row) bytes.
int FlashSettingsGet(int id, void *buffer);

// Sized accessors over FlashSettingsGet: the buffer is sized from the
// setting's row, so no caller guesses a size.
//
// A text setting as a string. Returns 1, or 0 (text empty) when the store is
// not ready, the identifier is unknown or the setting is not text.
int FlashSettingText(int id, std::string *text);
// A number setting. Returns 1, or 0 (value unchanged) as FlashSettingText.
int FlashSettingNumber(int id, int *value);

// The entries of a comma-separated list setting (NAS_USER_NAME,
// NAS_USER_PASSWD): split at every comma, empty entries kept, at most most
// entries (the login takes 32).
std::vector<std::string> SplitAccountList(const std::string &list, size_t most = 32);
