// flash_test_support.cpp -- device images, lock state and per-test roots for the store tests.
#include "flash_test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "bytes.h"
#include "flash_layout.h"
#include "shell.h"

namespace flashtest {

static long BlockStart(bool hw) {
    return (hw ? HW_SETTINGS_HEADER_OFFSET : CURRENT_SETTINGS_HEADER_OFFSET) + FLASH_HEADER_SIZE;
}

int Id(const char *name) {
    const SettingRow *row = FindSettingRowByName(name, nullptr);
    if (row == nullptr) abort();
    return row->id;
}

long DeviceOffset(int id) {
    int hw = 0;
    const SettingRow *row = FindSettingRow(id, &hw);
    if (row == nullptr) abort();
    return BlockStart(hw) + row->offset;
}

FlashImage::FlashImage() : image(FLASH_DEVICE_SIZE, 0) {
    SetHeader(1, "DS", "02", SETTINGS_T_SIZE);
    SetHeader(0, "HS", "01", HW_SETTINGS_SIZE);
}

unsigned char *FlashImage::At(int id) { return image.data() + DeviceOffset(id); }

void FlashImage::SetNumber(int id, uint32_t value) {
    const SettingRow *row = FindSettingRow(id, nullptr);
    for (int i = 0; i < row->size; i++) At(id)[i] = static_cast<unsigned char>(value >> (8 * i));
}

void FlashImage::SetText(int id, const std::string &text) {
    const SettingRow *row = FindSettingRow(id, nullptr);
    memset(At(id), 0, row->size);
    memcpy(At(id), text.data(), text.size());
}

void FlashImage::SetBytes(int id, const std::vector<unsigned char> &bytes) {
    memcpy(At(id), bytes.data(), bytes.size());
}

void FlashImage::AddEntry(int listId, const std::vector<unsigned char> &entry) {
    const SettingListShape *shape = FindSettingListShape(FindSettingRow(listId, nullptr)->type);
    unsigned char *count = At(shape->countId);
    memcpy(At(listId) + *count * shape->entrySize, entry.data(), entry.size());
    (*count)++;
}

void FlashImage::SetHeader(int kind, const char *signature, const char *version, int length) {
    unsigned char *h = image.data() + (kind == 0 ? HW_SETTINGS_HEADER_OFFSET : 0);
    memcpy(h, signature, 2);
    memcpy(h + 2, version, 2);
    PutLe16(h + 4, static_cast<uint16_t>(length));
}

std::vector<unsigned char> FlashImage::Bytes() const {
    std::vector<unsigned char> bytes = image;
    if (!sealed_) return bytes;
    for (bool hw : {true, false}) {  // the hardware block may lie inside a long current one
        long start = BlockStart(hw);
        int length = GetLe16(bytes.data() + start - 2);
        if (length < 1 || start + length > FLASH_DEVICE_SIZE) continue;
        unsigned char sum = 0;
        for (int i = 0; i < length - 1; i++)
            sum = static_cast<unsigned char>(sum + bytes[start + i]);
        bytes[start + length - 1] = static_cast<unsigned char>(-sum);
    }
    return bytes;
}

LockState ReadLockState(key_t key) {
    LockState state = {-1, -1, -1};
    int semId = semget(key, 1, 0);
    if (semId != -1) state.guard = semctl(semId, 0, GETVAL);
    int shmId = shmget(key, 2, 0);
    if (shmId != -1) {
        void *at = shmat(shmId, nullptr, SHM_RDONLY);
        if (at != reinterpret_cast<void *>(-1)) {
            state.readers = static_cast<unsigned char *>(at)[0];
            state.writers = static_cast<unsigned char *>(at)[1];
            shmdt(at);
        }
    }
    return state;
}

void SetCounters(key_t key, int readers, int writers) {
    int shmId = shmget(key, 2, IPC_CREAT | 0666);
    ASSERT_NE(-1, shmId) << strerror(errno);
    void *at = shmat(shmId, nullptr, 0);
    ASSERT_NE(reinterpret_cast<void *>(-1), at);
    static_cast<unsigned char *>(at)[0] = static_cast<unsigned char>(readers);
    static_cast<unsigned char *>(at)[1] = static_cast<unsigned char>(writers);
    shmdt(at);
}

void RemoveLock(key_t key) {
    int semId = semget(key, 1, 0);
    if (semId != -1) semctl(semId, 0, IPC_RMID);
    int shmId = shmget(key, 2, 0);
    if (shmId != -1) shmctl(shmId, IPC_RMID, nullptr);
}

void FlashDeviceTest::SetUp() {
    setenv("NAS_ROOT", root.path().c_str(), 1);
    root.Write("dev/mtd", "");
    key = ftok(DevicePath().c_str(), 'a');
    ASSERT_NE(-1, key);
    RemoveLock(key);  // left over by an earlier run on a recycled inode
}

void FlashDeviceTest::TearDown() {
    RemoveLock(key);
    unsetenv("NAS_ROOT");
}

void FlashDeviceTest::WriteDevice(const std::vector<unsigned char> &bytes) {
    int fd = open(DevicePath().c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
    close(fd);
}

int FlashDeviceTest::RunTool(const std::string &commandLine, std::string *out, std::string *err) {
    char outWord[1024], errWord[1024];
    ShellQuote(outWord, sizeof(outWord), root.At("tool.out").c_str());
    ShellQuote(errWord, sizeof(errWord), root.At("tool.err").c_str());
    harness::RunResult result = harness::Run(
        {"sh", "-c", commandLine + " >" + outWord + " 2>" + errWord}, {{"NAS_ROOT", root.path()}});
    *out = harness::ReadFile(root.At("tool.out"));
    *err = harness::ReadFile(root.At("tool.err"));
    return result.status;
}

}  // namespace flashtest
