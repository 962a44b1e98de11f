// Tests of the flash lock: counters, guard, key, and a writer stand-in
// (tools/flash_writer) holding the flash or the guard. The three tests with
// the stand-in wait out the lock's real pauses (10 to 20 seconds each).
#include "flash_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <chrono>
#include <string>

#include "flash_settings.h"
#include "flash_test_support.h"
#include "harness.h"

namespace {

using flashtest::FlashImage;
using flashtest::LockState;

const std::chrono::milliseconds kLockWait{60000};

class FlashLock : public flashtest::FlashDeviceTest {
  protected:
    std::map<std::string, std::string> Env() const { return {{"NAS_ROOT", root.path()}}; }
};

void ExpectState(const LockState &state, int guard, int readers, int writers) {
    EXPECT_EQ(guard, state.guard);
    EXPECT_EQ(readers, state.readers);
    EXPECT_EQ(writers, state.writers);
}

TEST_F(FlashLock, ReaderCountsItselfInAndOut) {
    EXPECT_EQ(0, FlashReadLock());
    ExpectState(Lock(), 0, 1, 0);
    EXPECT_EQ(0, FlashReadLock());
    ExpectState(Lock(), 0, 2, 0);
    EXPECT_EQ(0, FlashReadUnlock());
    EXPECT_EQ(0, FlashReadUnlock());
    ExpectState(Lock(), 0, 0, 0);
    // Never below 0, which would read as 255 readers to every writer.
    EXPECT_EQ(-1, FlashReadUnlock());
    ExpectState(Lock(), 0, 0, 0);
}

TEST_F(FlashLock, GuardAndSegmentAreCreatedOpenToEveryone) {
    ASSERT_EQ(0, FlashReadLock());
    int semId = semget(key, 1, 0);
    ASSERT_NE(-1, semId);
    struct semid_ds sem;
    ASSERT_EQ(0, semctl(semId, 0, IPC_STAT, &sem));
    EXPECT_EQ(0666, sem.sem_perm.mode & 0777);
    EXPECT_EQ(1u, sem.sem_nsems);
    int shmId = shmget(key, 2, 0);
    ASSERT_NE(-1, shmId);
    struct shmid_ds shm;
    ASSERT_EQ(0, shmctl(shmId, IPC_STAT, &shm));
    EXPECT_EQ(0666, shm.shm_perm.mode & 0777);
    EXPECT_EQ(2u, shm.shm_segsz);
    EXPECT_EQ(0u, shm.shm_nattch);  // detached after every change
}

TEST_F(FlashLock, WriterCountRefusesTheReaderAtOnce) {
    flashtest::SetCounters(key, 0, 1);
    EXPECT_EQ(-1, FlashReadLock());
    ExpectState(Lock(), 0, 0, 1);
}

TEST_F(FlashLock, FullReaderCountIsNotWrapped) {
    flashtest::SetCounters(key, 255, 0);
    EXPECT_EQ(-1, FlashReadLock());
    ExpectState(Lock(), 0, 255, 0);
}

TEST_F(FlashLock, KeyIsTheMappedDevicePath) {
    EXPECT_EQ(ftok(DevicePath().c_str(), 'a'), FlashLockKey());
    harness::TempRoot other;
    other.Write("dev/mtd", "");
    setenv("NAS_ROOT", other.path().c_str(), 1);
    EXPECT_EQ(ftok(other.At("dev/mtd").c_str(), 'a'), FlashLockKey());
    EXPECT_NE(key, FlashLockKey());
    unsetenv("NAS_ROOT");
    EXPECT_EQ(ftok("/dev/mtd", 'a'), FlashLockKey());
}

TEST_F(FlashLock, MissingDeviceFailsWithoutWaiting) {
    setenv("NAS_ROOT", root.At("nothing").c_str(), 1);
    EXPECT_EQ(-1, FlashLockKey());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, TakeFlashReadLock());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("ftok: "));
}

// Slow: three lock attempts 10 seconds apart.
TEST_F(FlashLock, WriterStandInMakesReadsWaitAndThenFail) {
    WriteDevice(FlashImage());
    harness::Process writer({"flash_writer"}, Env());
    ASSERT_TRUE(writer.WaitForLine("flash_writer: holding the flash (writers=1)"));
    EXPECT_EQ(0, FlashSettingsInit());
    ExpectState(Lock(), 0, 0, 1);
    int32_t value = 0;
    EXPECT_EQ(0, FlashSettingsGet(402, &value));
    writer.Signal(SIGTERM);
    ASSERT_TRUE(writer.WaitForLine("flash_writer: released"));
    EXPECT_EQ(0, writer.WaitExit());
    ExpectState(Lock(), 0, 0, 0);
}

// Slow: one lock attempt fails, the next one, 10 seconds later, succeeds.
TEST_F(FlashLock, ReaderRetriesUntilTheWriterHasFinished) {
    FlashImage image;
    image.SetNumber(402, 3);
    WriteDevice(image);
    harness::Process writer({"flash_writer"}, Env());
    ASSERT_TRUE(writer.WaitForLine("holding the flash"));
    int semId = semget(key, 1, 0);
    ASSERT_NE(-1, semId);
    harness::Process reader({"flashcfg", "get", "EMAIL_LANGUAGE"}, Env());
    // The guard's last operation was the reader's: it took and released it
    // and found the writer.
    ASSERT_TRUE(
        harness::WaitUntil([&] { return semctl(semId, 0, GETPID) == reader.pid(); }, kLockWait));
    ExpectState(Lock(), 0, 0, 1);
    EXPECT_TRUE(reader.Running());
    writer.Signal(SIGTERM);
    ASSERT_TRUE(writer.WaitForLine("released"));
    EXPECT_EQ(0, reader.WaitExit(kLockWait));
    EXPECT_EQ("3\n", reader.Output());
    ExpectState(Lock(), 0, 0, 0);
}

// Slow: three readings of a held guard, 5 seconds apart.
TEST_F(FlashLock, HeldGuardMakesTheReaderGiveUp) {
    harness::Process writer({"flash_writer", "-g"}, Env());
    ASSERT_TRUE(writer.WaitForLine("flash_writer: holding the guard"));
    EXPECT_EQ(-1, FlashReadLock());
    ExpectState(Lock(), 1, 0, 0);
    writer.Signal(SIGTERM);
    ASSERT_TRUE(writer.WaitForLine("released"));
    ExpectState(Lock(), 0, 0, 0);
    EXPECT_EQ(0, FlashReadLock());
    EXPECT_EQ(0, FlashReadUnlock());
}

}  // namespace
