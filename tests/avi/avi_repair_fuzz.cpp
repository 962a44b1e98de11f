// avi_repair_fuzz.cpp -- libFuzzer target over the repair step's reader: any
// bytes are scanned; a file the scan accepts with frames is finished in
// place, and scanning it again must find a finished file with the same
// frames (the repair is idempotent and its output is a finished recording).
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "avi_repair.h"
#include "whole_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = memfd_create("avi_repair_fuzz", 0);
    if (fd < 0) abort();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || WriteAll(fd, data, size) != 0) {
        abort();
    }
    AviScan scan;
    int result = ScanAviRecording(fd, &scan);
    int32_t frames = scan.frameCount;
    bool finishable = result == 0 && scan.status == AVI_SCAN_OK && frames > 0;
    if (result == 0 && scan.status == AVI_SCAN_OK && scan.dataEnd < 2048) abort();
    FreeAviScan(&scan);
    if (!finishable) return 0;

    // Not an in-progress name: the file is finished where it is.
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    AviRepairResult repaired;
    if (RepairAviRecording(path.c_str(), 0, &repaired) != 0 || repaired.renamed) abort();
    if (ScanAviRecording(fd, &scan) != 0 || !scan.finished || scan.frameCount != frames ||
        scan.cutBytes != 0) {
        abort();
    }
    FreeAviScan(&scan);
    return 0;
}
