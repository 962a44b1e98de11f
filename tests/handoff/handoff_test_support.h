// handoff_test_support.h -- an appliance root for parcelod tests, and a raw packet client.
//
// ApplianceRoot fills a test's NAS_ROOT: a flash image made with "flashcfg
// make", df and ifconfig stand-in outputs (a disk on /mnt/USB5/C, br0 at
// 192.168.1.20) and the language table. HandoffServerTest also moves the test
// into a network namespace of its own (port 13367 is fixed), starts parcelod
// there and gives verbs that speak the protocol byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace handofftest {

using Bytes = std::vector<unsigned char>;

// Payload builders.
Bytes Str(const std::string &text);
Bytes Int(uint32_t value);
Bytes Cat(std::initializer_list<Bytes> parts);
// A whole request: header byte, big-endian length, payload.
Bytes Packet(int code, const Bytes &payload, int report = 0);
Bytes LoginPayload(const std::string &user, const std::string &password,
                   uint32_t version = 0x20090303);

// Moves the calling process into a new network namespace with loopback up.
// Returns true, or false when namespaces are refused (then the host's
// loopback is used and CTest serialises the tests by a resource lock).
bool EnterOwnNetwork();

// The default accounts: admin/secret, alice/wonder, bob/builder, FTP language "de".
extern const char kDefaultFlash[];

class ApplianceRoot {
  public:
    explicit ApplianceRoot(const std::string &flashSettings = kDefaultFlash);
    harness::TempRoot root;
    std::string At(const std::string &rel) const { return root.At(rel); }
    // The volume root of HDD1 and its files, as the file system sees them.
    std::string Volume(const std::string &rel = "") const { return root.At("mnt/USB5/C:/" + rel); }
    std::string StatusFile() const { return Volume(".system_file/parcelo/parcelo_status.conf"); }
    std::string HistoryFile() const { return Volume(".system_file/parcelo/parcelo_history.conf"); }
    std::string TmpShare(const std::string &id) const {
        return Volume(".storage_server_parcelo/.parcelo_tmp_share/!@][_" + id);
    }
    std::string FinalShare(const std::string &id) const {
        return Volume(".storage_server_parcelo/.parcelo_final_share/!@][_" + id);
    }
    // Writes the flash device from NAME=value lines.
    void Flash(const std::string &settings);
    // What df prints (mounted devices, free kilobytes of /mnt/USB5/C).
    void Df(const std::string &devices, long long freeKb);
    std::string Calls() const { return harness::ReadFile(root.At("standin/calls.log")); }
};

// Mounts a file system of size bytes (tmpfs, "2m") of its own over the
// target volume, in a mount namespace of the calling process, so that the
// volume can be filled for real. False when mount namespaces are refused.
bool MountSmallVolume(ApplianceRoot *app, const char *size);
// The same over any folder.
bool MountFileSystem(const std::string &folder, const char *size);
// Fills the file system holding folder with one file; returns its path.
std::string FillVolume(const std::string &folder);

// The text of a history of alice's: records finished "Success" of type
// "folder", size sizeKb each, file names of nameLength characters, ids
// firstDigit followed by the record's number in 19 digits.
std::string AliceHistory(int records, char firstDigit, int sizeKb, size_t nameLength);

class HandoffServerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts parcelod with the root as it is; waits until it accepts.
    // Returns false when it did not (the process may have ended).
    bool StartServer(const std::map<std::string, std::string> &env = {});
    // A connection to the server, closed at the end of the test.
    int Connect();
    void Send(int fd, const Bytes &bytes);
    // Reads exactly n bytes (empty on time-out or end of stream).
    Bytes Read(int fd, size_t n);
    // True when the server closed fd (end of stream) within the wait.
    bool Closed(int fd);
    // True when nothing arrives on fd for a short while.
    bool Silent(int fd);
    // Sends a request and reads the 5-byte type-and-status reply.
    Bytes Ask(int fd, int code, const Bytes &payload);
    // A new connection logged in as user.
    int LoggedIn(const std::string &user = "alice", const std::string &password = "wonder");
    // create_tmp_share; returns the six strings (empty vector when the reply broke).
    std::vector<std::string> Share(int fd, const std::string &user, const std::string &name,
                                   uint32_t size, uint32_t *status,
                                   const std::string &type = "folder");
    std::string ReadString(int fd);
    uint32_t ReadInt(int fd);
    // Processes whose parent is the server (connection processes).
    std::vector<int> ServerChildren();
    int ServerDescriptors();

    std::unique_ptr<ApplianceRoot> app;
    std::unique_ptr<harness::Process> server;
    std::vector<int> fds;
};

}  // namespace handofftest
