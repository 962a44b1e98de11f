// download_lock.cpp -- the first-byte record lock shared with the BitTorrent client and downloader.
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "nas_path.h"
#include "orlinda.h"

enum { LOCK_ATTEMPTS = 15, LOCK_PAUSE_NS = 200 * 1000 * 1000 };

int LockFirstByte(int fd, short type) {
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; attempt++) {
        if (attempt > 0) {
            struct timespec pause = {0, LOCK_PAUSE_NS};
            nanosleep(&pause, nullptr);
        }
        if (fcntl(fd, F_SETLK, &lock) == 0) return 0;
    }
    return 1;
}

FILE *OpenLocked(const char *path, const char *mode) {
    FILE *file = fopen(NasPath(path).c_str(), mode);
    if (file == nullptr) return nullptr;
    if (LockFirstByte(fileno(file), F_WRLCK) != 0) {
        fclose(file);
        return nullptr;
    }
    return file;
}

void CloseLocked(FILE *file) {
    LockFirstByte(fileno(file), F_UNLCK);
    fclose(file);
}
