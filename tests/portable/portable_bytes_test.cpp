// portable_bytes_test.cpp -- the fixed-input files come out with the same
// bytes on every target: their digests are the host's, checked here on the
// host and on ARM. A change of a format changes a digest on purpose; update
// the table from the output of this test then (and compare both targets
// with tools/test_arm.sh).
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "harness.h"
#include "portable_outputs.h"

namespace {

// FNV-1a, 64 bits.
uint64_t Digest(const std::string &bytes) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

struct Expected {
    const char *file;
    size_t size;
    uint64_t digest;
};

const Expected kExpected[] = {
    {"recording.avi", 73866, 0x187e49f36b05e223ULL}, {"names.txt", 550, 0x30604c234bd2b0d8ULL},
    {"flash.img", 131072, 0xb7875fce1348e739ULL},    {"settings.txt", 6270, 0x1a4c2db65a7ec974ULL},
    {"handoff.bin", 650, 0x5bddcc77e67ac95cULL},
};

TEST(PortableBytes, FilesMatchTheHostsBytes) {
    harness::TempRoot root;
    ASSERT_EQ(WritePortableOutputs(root.path()), 0);
    for (const Expected &e : kExpected) {
        std::string bytes = harness::ReadFile(root.At(e.file));
        char digest[17];
        snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Digest(bytes)));
        EXPECT_EQ(bytes.size(), e.size) << e.file;
        EXPECT_EQ(Digest(bytes), e.digest) << e.file << " digest 0x" << digest;
    }
}

TEST(PortableBytes, NamesPastTheYear2038) {
    harness::TempRoot root;
    ASSERT_EQ(WritePortableOutputs(root.path()), 0);
    std::string names = harness::ReadFile(root.At("names.txt"));
    EXPECT_NE(names.find("2147483648 2038/01/19/cam_2038-01-19#03-14-08_.avi "
                         "2038/01/19/cam_2038-01-19#03-14-08_2038-01-19#03-24-08.avi\n"),
              std::string::npos)
        << names;
    EXPECT_NE(names.find("2214129600 2040/02/29/cam_2040-02-29#12-00-00_.avi"), std::string::npos)
        << names;
    EXPECT_NE(names.find("4294967295 2106/02/07/cam_2106-02-07#06-28-15_.avi"), std::string::npos)
        << names;
}

}  // namespace
