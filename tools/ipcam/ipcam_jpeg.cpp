// ipcam_jpeg.cpp -- JPEG images of the stand-in: encoding, padding to a size, files of a folder.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "ipcam.h"

int EncodeJpeg(const std::vector<uint8_t> &rgb, int width, int height, int quality,
               std::string *out) {
    struct jpeg_compress_struct cinfo;
    struct jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);  // the library's errors end the program
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&cinfo, &mem, &memSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);  // baseline, 4:2:0, Huffman tables of the standard
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(&rgb[static_cast<size_t>(cinfo.next_scanline) * width * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    out->assign(reinterpret_cast<const char *>(mem), memSize);
    jpeg_destroy_compress(&cinfo);
    free(mem);
    return 0;
}

int PadJpeg(std::string *jpeg, size_t size) {
    if (jpeg->size() < 4 || static_cast<uint8_t>((*jpeg)[0]) != 0xFF ||
        static_cast<uint8_t>((*jpeg)[1]) != 0xD8 || jpeg->size() > size) {
        return 1;
    }
    size_t rest = size - jpeg->size();
    std::string filler;
    // A comment segment is its marker (2 bytes), a length (2 bytes, counting
    // itself) and up to 65533 bytes of text: 4 to 65537 bytes in all.
    while (rest >= 4) {
        size_t seg = std::min<size_t>(rest, 65537);
        if (rest - seg > 0 && rest - seg < 4) seg -= 4;
        size_t length = seg - 2;
        filler += '\xFF';
        filler += '\xFE';
        filler += static_cast<char>(length >> 8);
        filler += static_cast<char>(length & 0xFF);
        filler.append(seg - 4, '.');
        rest -= seg;
    }
    // Fewer than four bytes left: fill bytes (0xFF), which may precede any marker.
    filler.append(rest, '\xFF');
    jpeg->insert(2, filler);
    return 0;
}

static bool IsJpegName(const std::string &name) {
    auto endsWith = [&name](const char *suffix) {
        size_t n = strlen(suffix);
        return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
    };
    return endsWith(".jpg") || endsWith(".jpeg") || endsWith(".JPG") || endsWith(".JPEG");
}

int LoadJpegDir(const std::string &dir, std::vector<std::string> *images) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        fprintf(stderr, "ipcam_standin: cannot read folder %s\n", dir.c_str());
        return 1;
    }
    std::vector<std::string> names;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (IsJpegName(e->d_name)) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    images->clear();
    for (const std::string &name : names) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        if (s.str().size() > 0) images->push_back(s.str());
    }
    if (images->empty()) {
        fprintf(stderr, "ipcam_standin: no JPEG files in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
