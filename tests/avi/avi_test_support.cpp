// avi_test_support.cpp -- test JPEGs with libjpeg, and AVI files read back
// by ffprobe, ffmpeg and a plain index reader.
#include "avi_test_support.h"

#include <jpeglib.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include "bytes.h"
#include "harness.h"

namespace avitest {

std::string MakeJpeg(int width, int height, int seed) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; x++) {
            row[3 * x] = static_cast<unsigned char>(x * 255 / (width > 1 ? width - 1 : 1));
            row[3 * x + 1] = static_cast<unsigned char>(y * 255 / (height > 1 ? height - 1 : 1));
            row[3 * x + 2] =
                static_cast<unsigned char>((seed * 37 + (x / 16 + y / 16) * 11) & 0xff);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string jpeg(reinterpret_cast<char *>(out), outSize);
    free(out);
    return jpeg;
}

std::string PadJpeg(const std::string &jpeg, size_t size) {
    std::string segments;
    size_t need = size > jpeg.size() ? size - jpeg.size() : 0;
    while (need > 0) {
        size_t segment = need < 65537 ? need : 65537;  // marker, length, up to 65533 bytes
        if (need - segment > 0 && need - segment < 4) segment -= 4;
        size_t length = segment - 2;
        segments += "\xff\xfe";
        segments += static_cast<char>(length >> 8);
        segments += static_cast<char>(length & 0xff);
        segments += std::string(length - 2, 'p');
        need -= segment;
    }
    return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

namespace {
struct DecodeError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};
void OnDecodeError(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<DecodeError *>(cinfo->err)->jump, 1);
}
void IgnoreMessage(j_common_ptr, int) {}
}  // namespace

bool DecodeJpeg(const std::string &jpeg, int *width, int *height) {
    jpeg_decompress_struct cinfo;
    DecodeError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnDecodeError;
    err.mgr.emit_message = IgnoreMessage;
    std::vector<unsigned char> row;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(jpeg.data()), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    row.resize(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    // A truncated image is completed with grey by libjpeg; count it as bad.
    bool complete = err.mgr.num_warnings == 0;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return complete;
}

Probe ProbeAvi(const std::string &path) {
    harness::RunResult r = harness::Run(
        {"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
         "stream=codec_name,width,height,r_frame_rate,nb_frames,nb_read_packets", "-of",
         "default=noprint_wrappers=1", path});
    Probe p;
    p.status = r.status;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "codec_name")
            p.codec = value;
        else if (key == "width")
            p.width = atoi(value.c_str());
        else if (key == "height")
            p.height = atoi(value.c_str());
        else if (key == "r_frame_rate")
            p.frameRate = value;
        else if (key == "nb_frames")
            p.frames = value;
        else if (key == "nb_read_packets")
            p.packets = value;
        else
            p.other += line + "\n";
    }
    return p;
}

std::string DecodeErrors(const std::string &path) {
    harness::RunResult r =
        harness::Run({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    std::string errors = r.output;
    if (r.status != 0) errors += "exit " + std::to_string(r.status);
    return errors;
}

std::vector<long> PacketTimes(const std::string &path) {
    harness::RunResult r = harness::Run({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                         "-show_entries", "packet=pts", "-of", "csv=p=0", path});
    std::vector<long> times;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) times.push_back(atol(line.c_str()));
    }
    return times;
}

uint32_t Le32(const std::string &bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0xFFFFFFFFu;
    return GetLe32(reinterpret_cast<const unsigned char *>(bytes.data()) + offset);
}

bool ReadIndex(const std::string &file, std::vector<IndexEntry> *entries) {
    entries->clear();
    if (file.size() < 2048) return false;
    size_t at = 2044 + static_cast<size_t>(Le32(file, 2040));
    if (at + 8 > file.size() || file.compare(at, 4, "idx1") != 0) return false;
    uint32_t length = Le32(file, at + 4);
    if (length % 16 != 0 || at + 8 + length > file.size()) return false;
    for (size_t e = at + 8; e < at + 8 + length; e += 16) {
        entries->push_back(
            {file.substr(e, 4), Le32(file, e + 4), Le32(file, e + 8), Le32(file, e + 12)});
    }
    return true;
}

bool CountChunks(const std::string &file, int *chunks, int *withData) {
    *chunks = 0;
    *withData = 0;
    if (file.size() < 2048) return false;
    uint32_t movi = Le32(file, 2040);
    size_t end = movi > 4 ? 2044 + static_cast<size_t>(movi) : file.size();
    if (end > file.size()) return false;
    size_t at = 2048;
    while (at < end) {
        if (at + 8 > end || file.compare(at, 4, "00db") != 0) return false;
        uint32_t length = Le32(file, at + 4);
        size_t next = at + 8 + length + (length & 1);
        if (next > end) return false;
        ++*chunks;
        if (length > 0) ++*withData;
        at = next;
    }
    return true;
}

std::string ChunkData(const std::string &file, const IndexEntry &entry, bool *ok) {
    *ok = entry.offset + 8ull + entry.length <= file.size() &&
          file.compare(entry.offset, 4, entry.id) == 0 &&
          Le32(file, entry.offset + 4) == entry.length;
    return *ok ? file.substr(entry.offset + 8, entry.length) : std::string();
}

}  // namespace avitest
