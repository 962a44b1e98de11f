// flash_fuzz.cpp -- a libFuzzer target over the block reader and FlashSettingsGet.
//
// The input patches a valid device image, which is then written to a private
// "/dev/mtd" (NAS_ROOT) and read through the store:
//   byte 0      flags: 1 reseal the current block, 2 reseal the hardware
//               block, 4 cut the device to the length in bytes 1 to 3
//   bytes 1-3   that length (little-endian, modulo the device size)
//   then        records of 4 bytes: device offset (3 bytes little-endian,
//               modulo the device size) and the byte to put there.
// Every setting of both tables is then fetched into a buffer of exactly the
// size the row's contract names, every list entry number up to past the
// capacity, so the sanitizers see any read or write outside the blocks.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "flash_block.h"
#include "flash_layout.h"
#include "flash_settings.h"
#include "flash_tables.h"

static std::string gRoot;
static key_t gKey = -1;

static void RemoveLock(void) {
    if (gKey == -1) return;
    int semId = semget(gKey, 1, 0);
    if (semId != -1) semctl(semId, 0, IPC_RMID);
    int shmId = shmget(gKey, 2, 0);
    if (shmId != -1) shmctl(shmId, IPC_RMID, nullptr);
}

static void CleanUp(void) {
    RemoveLock();
    unlink((gRoot + "/dev/mtd").c_str());
    rmdir((gRoot + "/dev").c_str());
    rmdir(gRoot.c_str());
}

static std::string DevicePath(void) {
    if (gRoot.empty()) {
        char pattern[] = "/tmp/flashfuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        gRoot = pattern;
        mkdir((gRoot + "/dev").c_str(), 0755);
        setenv("NAS_ROOT", gRoot.c_str(), 1);
        close(open((gRoot + "/dev/mtd").c_str(), O_WRONLY | O_CREAT, 0644));
        gKey = ftok((gRoot + "/dev/mtd").c_str(), 'a');
        RemoveLock();
        atexit(CleanUp);
        if (freopen("/dev/null", "w", stdout) == nullptr) abort();  // the store's messages
    }
    return gRoot + "/dev/mtd";
}

static void Seal(std::vector<unsigned char> &image, long headerOffset) {
    long start = headerOffset + FLASH_HEADER_SIZE;
    int length = GetLe16(&image[headerOffset + FLASH_HEADER_LENGTH]);
    if (length < 1) return;
    image[start + length - 1] = 0;
    image[start + length - 1] = static_cast<unsigned char>(-FlashBlockSum(&image[start], length));
}

static void FetchEverything(void) {
    for (const SettingRow *table : {kCurrentSettingRows, kHwSettingRows}) {
        for (const SettingRow *row = table; row->id != 0; row++) {
            size_t size = static_cast<size_t>(SettingValueSize(row));
            const SettingListShape *shape = FindSettingListShape(row->type);
            int last = shape != nullptr ? shape->capacity + 1 : 0;
            for (int n = 0; n <= last; n++) {
                unsigned char *buffer = static_cast<unsigned char *>(malloc(size));
                buffer[0] = static_cast<unsigned char>(n);
                int found = FlashSettingsGet(row->id, buffer);
                if (found && row->type == SETTING_TEXT && memchr(buffer, '\0', size) == nullptr) {
                    abort();  // a text handed out without its NUL
                }
                free(buffer);
            }
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string device = DevicePath();
    std::vector<unsigned char> image(FLASH_DEVICE_SIZE, 0);
    PutFlashHeader(&image[CURRENT_SETTINGS_HEADER_OFFSET], CURRENT_SETTINGS_SIGNATURE,
                   CURRENT_SETTINGS_VERSION, SETTINGS_T_SIZE);
    PutFlashHeader(&image[HW_SETTINGS_HEADER_OFFSET], HW_SETTINGS_SIGNATURE, HW_SETTINGS_VERSION,
                   HW_SETTINGS_SIZE);
    int flags = size > 0 ? data[0] : 3;
    size_t length = FLASH_DEVICE_SIZE;
    if (size >= 4 && (flags & 4))
        length = (data[1] | data[2] << 8 | data[3] << 16) % FLASH_DEVICE_SIZE;
    for (size_t i = 4; i + 4 <= size; i += 4) {
        uint32_t offset = (data[i] | data[i + 1] << 8 | data[i + 2] << 16) % FLASH_DEVICE_SIZE;
        image[offset] = data[i + 3];
    }
    // The hardware block may lie inside a long current block: seal it first.
    if (flags & 2) Seal(image, HW_SETTINGS_HEADER_OFFSET);
    if (flags & 1) Seal(image, CURRENT_SETTINGS_HEADER_OFFSET);

    int fd = open(device.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, image.data(), length) != static_cast<ssize_t>(length)) abort();
    close(fd);
    if (FlashSettingsReload() == 0) FlashSettingsInit();
    FetchEverything();
    return 0;
}
