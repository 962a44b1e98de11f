// clock_shift.cpp -- a preload library for tests: the wall clock a program
// reads (gettimeofday, time, clock_gettime of CLOCK_REALTIME) is moved by the
// whole seconds written in the file named by $NAS_CLOCK_SHIFT_FILE, read
// afresh at every call, as an NTP step moves a board's clock; the monotonic
// clock is left alone. Load it with LD_PRELOAD.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

// The layout of struct timeval; <sys/time.h> is not included so that the
// definition below does not meet the system's own declaration.
struct WallTime {
    time_t seconds;
    long microseconds;
};

long Shift() {
    const char *path = getenv("NAS_CLOCK_SHIFT_FILE");
    if (path == nullptr) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {0};
    ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    return n > 0 ? strtol(text, nullptr, 10) : 0;
}

template <typename F>
F Next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int gettimeofday(WallTime *tv, void *tz) {
    static auto real = Next<int (*)(WallTime *, void *)>("gettimeofday");
    int result = real(tv, tz);
    if (result == 0 && tv != nullptr) tv->seconds += Shift();
    return result;
}

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) {
    static auto real = Next<int (*)(clockid_t, struct timespec *)>("clock_gettime");
    int result = real(id, ts);
    if (result == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
        ts->tv_sec += Shift();
    }
    return result;
}

extern "C" time_t time(time_t *out) {
    static auto real = Next<time_t (*)(time_t *)>("time");
    time_t now = real(nullptr) + Shift();
    if (out != nullptr) *out = now;
    return now;
}
