// flashcfg_main.cpp -- the flashcfg tool: makes flash images and reads settings through the store.
//
//   flashcfg make SETTINGS.txt IMAGE   write a valid device image from NAME=value lines
//   flashcfg get NAME|ID               print one setting as the store returns it
//   flashcfg dump                      print every setting as NAME=value lines
//
// get and dump read "/dev/mtd" (under NAS_ROOT when set) through the same
// store and lock as the daemons. Exit status: 0 done, 1 failed, 2 usage.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "flash_layout.h"
#include "flash_settings.h"
#include "flash_tables.h"
#include "flashcfg_image.h"
#include "flashcfg_values.h"
#include "nas_path.h"
#include "whole_io.h"

enum { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

static const char kUsage[] =
    "usage: flashcfg make SETTINGS.txt IMAGE\n"
    "       flashcfg get NAME|ID\n"
    "       flashcfg dump\n";

static int Usage(void) {
    fputs(kUsage, stderr);
    return EXIT_USAGE;
}

// Writes the image over path in place (same file, so a lock key derived
// from it stays the same), then cuts the file to the image's length.
static int WriteImage(const char *path, const unsigned char *image) {
    int fd = open(path, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return -1;
    int result =
        WriteAll(fd, image, FLASH_DEVICE_SIZE) == 0 ? ftruncate(fd, FLASH_DEVICE_SIZE) : -1;
    int saved = errno;
    if (close(fd) != 0 && result == 0) return -1;
    errno = saved;
    return result;
}

static int Make(const char *settingsPath, const char *imagePath) {
    FILE *in = fopen(settingsPath, "r");
    if (in == nullptr) {
        fprintf(stderr, "flashcfg: cannot open %s: %s\n", settingsPath, strerror(errno));
        return EXIT_FAILED;
    }
    std::vector<unsigned char> image(FLASH_DEVICE_SIZE);
    std::string error;
    int built = BuildFlashImage(in, settingsPath, image.data(), &error);
    fclose(in);
    if (built != 0) {
        fprintf(stderr, "flashcfg: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    if (WriteImage(imagePath, image.data()) != 0) {
        fprintf(stderr, "flashcfg: cannot write %s: %s\n", imagePath, strerror(errno));
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

static int OpenStore(void) {
    if (FlashSettingsInit() == 1) return 0;
    fflush(stdout);
    fprintf(stderr, "flashcfg: cannot read the settings from %s\n",
            NasPath(FLASH_DEVICE_PATH).c_str());
    return -1;
}

// Prints the value of row: one line, or one line per used entry of a list,
// each led by prefix.
static void PrintSetting(const SettingRow *row, const std::string &prefix) {
    std::vector<unsigned char> value(SettingValueSize(row) + 4);
    if (FindSettingListShape(row->type) != nullptr) {
        for (int n = 1; n <= 0xff; n++) {
            value[0] = static_cast<unsigned char>(n);
            if (FlashSettingsGet(row->id, value.data()) != 1) break;
            printf("%s%s\n", prefix.c_str(), FormatSettingValue(row, value.data()).c_str());
        }
        return;
    }
    if (FlashSettingsGet(row->id, value.data()) == 1) {
        printf("%s%s\n", prefix.c_str(), FormatSettingValue(row, value.data()).c_str());
    }
}

static const SettingRow *FindByNameOrId(const char *key) {
    bool digits = key[0] != '\0';
    for (const char *c = key; *c != '\0'; c++) digits = digits && isdigit((unsigned char)*c);
    if (!digits) return FindSettingRowByName(key, nullptr);
    if (strlen(key) > 9) return nullptr;
    return FindSettingRow(atoi(key), nullptr);
}

static int Get(const char *key) {
    const SettingRow *row = FindByNameOrId(key);
    if (row == nullptr) {
        fprintf(stderr, "flashcfg: unknown setting %s\n", key);
        return EXIT_FAILED;
    }
    if (OpenStore() != 0) return EXIT_FAILED;
    PrintSetting(row, "");
    return EXIT_DONE;
}

static int Dump(void) {
    if (OpenStore() != 0) return EXIT_FAILED;
    for (const SettingRow *table : {kCurrentSettingRows, kHwSettingRows}) {
        for (const SettingRow *row = table; row->id != 0; row++) {
            PrintSetting(row, std::string(row->name) + "=");
        }
    }
    return EXIT_DONE;
}

int main(int argc, char **argv) {
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        fputs(kUsage, stdout);
        return EXIT_DONE;
    }
    if (argc == 4 && strcmp(argv[1], "make") == 0) return Make(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "get") == 0) return Get(argv[2]);
    if (argc == 2 && strcmp(argv[1], "dump") == 0) return Dump();
    return Usage();
}
