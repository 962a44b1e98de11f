// portable_outputs.cpp -- the fixed-input files of portable_outputs.h.
#include "portable_outputs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "avi_writer.h"
#include "bytes.h"
#include "config.h"
#include "flash_layout.h"
#include "flash_settings.h"
#include "flash_tables.h"
#include "flashcfg_image.h"
#include "flashcfg_values.h"
#include "recording.h"
#include "whole_io.h"

const char *const kPortableOutputFiles[5] = {"recording.avi", "names.txt", "flash.img",
                                             "settings.txt", "handoff.bin"};

namespace {

int Fail(const char *what) {
    fprintf(stderr, "portable_outputs: %s\n", what);
    return 1;
}

int WriteFile(const std::string &path, const void *data, size_t length) {
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr) return 1;
    bool ok = fwrite(data, 1, length, out) == length;
    return fclose(out) == 0 && ok ? 0 : 1;
}

// A frame of length bytes that starts and ends like a JPEG and is filled
// from seed, so that frames differ.
std::vector<unsigned char> Frame(int32_t length, unsigned seed) {
    std::vector<unsigned char> frame(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; i++) {
        seed = seed * 1103515245u + 12345u;
        frame[static_cast<size_t>(i)] = static_cast<unsigned char>(seed >> 16);
    }
    if (length >= 4) {
        frame[0] = 0xff, frame[1] = 0xd8;
        frame[static_cast<size_t>(length) - 2] = 0xff,
                                            frame[static_cast<size_t>(length) - 1] = 0xd9;
    }
    return frame;
}

int WriteRecording(const std::string &path) {
    AviFile *avi = AVI_create_output_file(path.c_str());
    if (avi == nullptr) return Fail("cannot create the AVI file");
    AVI_set_video_format(avi, 640, 480, 10.0, "MJPG");
    if (AVI_rewrite_header(avi) != 0) return Fail("cannot write the in-progress header");
    const int32_t lengths[] = {1201, 0, 4096, 0, 0, 777, 65537, 3};
    unsigned seed = 7;
    for (int32_t length : lengths) {
        std::vector<unsigned char> frame = Frame(length, seed++);
        if (AVI_write_video_frame(avi, frame.data(), length, length > 0) != 0) {
            return Fail("cannot write a frame");
        }
    }
    return AVI_close_file(avi) == 0 ? 0 : Fail("cannot close the AVI file");
}

// Start and final names of recordings at fixed instants; the record folder
// part is left out so that the text does not depend on dir.
int WriteNames(const std::string &dir, const std::string &path) {
    RecorderConfig config;
    memset(&config, 0, sizeof config);
    snprintf(config.nvr_record_folder, sizeof config.nvr_record_folder, "%s/rec/", dir.c_str());
    snprintf(config.recordFolderPrefix, sizeof config.recordFolderPrefix, "%s",
             config.nvr_record_folder);
    mkdir(config.nvr_record_folder, 0777);
    snprintf(config.nvr_video_name_prefix, sizeof config.nvr_video_name_prefix, "cam_");
    // 2026-12-06 14:05:00, the last second of 32-bit time_t, the one after
    // it, a leap day in 2040, and the end of unsigned 32-bit seconds.
    const int64_t starts[] = {1796565900LL, 2147483647LL, 2147483648LL, 2214129600LL, 4294967295LL};
    std::string text;
    for (int64_t start : starts) {
        char name[FILE_NAME_SIZE];
        if (GenerateStartAviFileName(name, static_cast<time_t>(start), &config) != 0) {
            return Fail("cannot make a recording name");
        }
        time_t end = static_cast<time_t>(start + 600);
        struct tm endTm;
        if (gmtime_r(&end, &endTm) == nullptr) return Fail("gmtime_r failed");
        char final[FILE_NAME_SIZE];
        if (BuildFinalAviFileName(final, sizeof final, name, &endTm) != 0) {
            return Fail("cannot make a final name");
        }
        size_t skip = strlen(config.nvr_record_folder);
        char line[2 * FILE_NAME_SIZE + 64];
        snprintf(line, sizeof line, "%lld %s %s\n", static_cast<long long>(start), name + skip,
                 final + skip);
        text += line;
    }
    return WriteFile(path, text.data(), text.size());
}

const char kSettings[] =
    "# fixed settings of the comparison\n"
    "USER_NAME=admin\n"
    "USER_PASSWORD=secret\n"
    "NAS_USER_NAME=alice,bob,carol\n"
    "NAS_USER_PASSWD=a1,b2,c3\n"
    "EMAIL_LANGUAGE=3\n"
    "MEDIA_RESCAN_INTERVAL=0x1234\n"
    "ITUNES_MUSIC_DIR=/mnt/USB5/C:/music\n"
    "FTP_CLIENT_LANG=de\n";

int WriteFlash(const std::string &dir) {
    FILE *in = fmemopen(const_cast<char *>(kSettings), sizeof kSettings - 1, "r");
    if (in == nullptr) return Fail("fmemopen failed");
    std::vector<unsigned char> image(FLASH_DEVICE_SIZE);
    std::string error;
    int built = BuildFlashImage(in, "fixed", image.data(), &error);
    fclose(in);
    if (built != 0) return Fail(error.c_str());
    if (WriteFile(dir + "/flash.img", image.data(), image.size()) != 0) {
        return Fail("cannot write flash.img");
    }
    // The store reads "/dev/mtd" under NAS_ROOT.
    mkdir((dir + "/dev").c_str(), 0755);
    if (WriteFile(dir + "/dev/mtd", image.data(), image.size()) != 0) {
        return Fail("cannot write dev/mtd");
    }
    if (FlashSettingsInit() != 1) return Fail("the store does not read the image");
    std::string text;
    std::vector<unsigned char> value(FLASH_DEVICE_SIZE);
    for (const SettingRow *table : {kCurrentSettingRows, kHwSettingRows}) {
        for (const SettingRow *row = table; row->id != 0; row++) {
            std::fill(value.begin(), value.end(), 0);
            if (FlashSettingsGet(row->id, value.data()) != 1) continue;
            text += std::string(row->name) + "=" + FormatSettingValue(row, value.data()) + "\n";
        }
    }
    return WriteFile(dir + "/settings.txt", text.data(), text.size());
}

// Hand-off packets in the wire form: header byte, 4-byte big-endian length,
// payload of big-endian integers and length-prefixed strings, built here with
// the byte helpers that the hand-off server's codec uses. When the server's
// packet codec is part of the tree, build the same packets with it instead
// (the bytes, and so the digest, must not change).
class Packet {
  public:
    explicit Packet(unsigned char type) : bytes_{type, 0, 0, 0, 0} {}
    Packet &Integer(uint32_t value) {
        unsigned char b[4];
        PutBe32(b, value);
        bytes_.insert(bytes_.end(), b, b + 4);
        return *this;
    }
    Packet &Text(const std::string &text) {
        Integer(static_cast<uint32_t>(text.size()));
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    // A request: the payload length goes into bytes 1 to 4.
    std::vector<unsigned char> Request() {
        PutBe32(&bytes_[1], static_cast<uint32_t>(bytes_.size() - 5));
        return bytes_;
    }
    // A reply: bytes 1 to 4 are the status.
    std::vector<unsigned char> Reply(uint32_t status) {
        PutBe32(&bytes_[1], status);
        return bytes_;
    }

  private:
    std::vector<unsigned char> bytes_;
};

int WriteHandoff(const std::string &path) {
    const std::string id = "12345678901234567890";
    const std::vector<std::vector<unsigned char>> packets = {
        Packet(1).Integer(0x20090303).Text("alice").Text("a1").Request(),
        Packet(0x81).Reply(0),
        // A size above 2 GiB and one above 4 GiB (kilobytes, 32 bits on the wire).
        Packet(3).Text("alice").Text("holiday").Integer(3145728).Text("folder").Request(),
        Packet(3).Text("alice").Text("archive").Integer(0xfffffffeu).Text("folder").Request(),
        Packet(0x83)
            .Text("PARCELO_TMP_SHARE\\!@][_" + id + "\\")
            .Text("PARCELO_TMP_SHARE/!@][_" + id + "/")
            .Text(id)
            .Text("2041/1/5 12:0:0")
            .Text("ftp://192.168.1.2/PARCELO_FINAL_SHARE/!@][_" + id)
            .Text("\\\\192.168.1.2\\PARCELO_FINAL_SHARE\\!@][_" + id)
            .Reply(0),
        Packet(4).Text("/mnt/USB5/C:/photos").Text(id).Request(),
        Packet(6).Text(id).Integer(5242880).Request(),
        Packet(0x86).Integer(10000).Reply(0),
        Packet(0x0c).Text(id).Reply(0),
        Packet(0x8a)
            .Text("alice")
            .Text("holiday")
            .Text("folder")
            .Integer(3145728)
            .Text("2040/2/29 12:0:0")
            .Text(id)
            .Text("ftp://x")
            .Text("\\\\x")
            .Text("2040/3/30 12:0:0")
            .Text("Success")
            .Text("")
            .Reply(0),
        Packet(0x8a).Reply(2),
        Packet(13).Request(),
    };
    std::vector<unsigned char> all;
    for (const auto &packet : packets) all.insert(all.end(), packet.begin(), packet.end());
    return WriteFile(path, all.data(), all.size());
}

}  // namespace

int WritePortableOutputs(const std::string &dir) {
    setenv("TZ", "UTC0", 1);
    tzset();
    setenv("NAS_ROOT", dir.c_str(), 1);
    mkdir((dir + "/rec").c_str(), 0755);
    if (WriteRecording(dir + "/recording.avi") != 0) return 1;
    if (WriteNames(dir, dir + "/names.txt") != 0) return 1;
    if (WriteFlash(dir) != 0) return 1;
    return WriteHandoff(dir + "/handoff.bin");
}
