// flash_test_support.h -- a private flash device per test: images, counters and clean-up.
//
// FlashDeviceTest gives each test its own NAS_ROOT with "/dev/mtd" in it, so
// the store reads that file and keys its lock on it. FlashImage builds device
// images byte by byte from the table rows, independently of flashcfg.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "flash_tables.h"
#include "harness.h"

namespace flashtest {

// A device image: both blocks with valid headers, sealed on Bytes().
class FlashImage {
  public:
    FlashImage();
    // The block bytes (current or hardware) of a row.
    unsigned char *At(int id);
    void SetNumber(int id, uint32_t value);  // in the row's width, little-endian
    void SetText(int id, const std::string &text);
    void SetBytes(int id, const std::vector<unsigned char> &bytes);
    // Appends list entries as the count row says (count row updated).
    void AddEntry(int listId, const std::vector<unsigned char> &entry);
    // Writes a header over the block's header (seal uses the given length).
    void SetHeader(int kind, const char *signature, const char *version, int length);
    // When off, Bytes() leaves the checksum bytes as they are.
    void SetSealed(bool sealed) { sealed_ = sealed; }
    std::vector<unsigned char> Bytes() const;

    std::vector<unsigned char> image;

  private:
    bool sealed_ = true;
};

// The identifier of a named row (aborts when there is none).
int Id(const char *name);

// Byte offset of a row's value on the device.
long DeviceOffset(int id);

// The lock's guard value and counter bytes; -1 for what does not exist.
struct LockState {
    int guard;
    int readers;
    int writers;
};
LockState ReadLockState(key_t key);
// Sets the counter bytes (the segment is created when missing).
void SetCounters(key_t key, int readers, int writers);
// Removes the guard and segment of key.
void RemoveLock(key_t key);

class FlashDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the device file in place (its inode, and so the key, stay).
    void WriteDevice(const std::vector<unsigned char> &bytes);
    void WriteDevice(const FlashImage &image) { WriteDevice(image.Bytes()); }
    std::string DevicePath() const { return root.At("dev/mtd"); }
    LockState Lock() const { return ReadLockState(key); }
    // Runs a shell command line with NAS_ROOT set and the programs on PATH;
    // standard output and standard error are kept apart.
    int RunTool(const std::string &commandLine, std::string *out, std::string *err);

    harness::TempRoot root;
    key_t key = -1;
};

}  // namespace flashtest
