/* run_measure.c -- runs one program to its end and reports what it cost.
 *
 *   run_measure PROGRAM [ARGS...]
 *
 * Prints "wall_ms own_cpu_ms all_cpu_ms processes max_rss_kb": wall time; the CPU time
 * of the program itself, its children excluded (its scheduler run time,
 * read from /proc while it is a zombie, before it is reaped); the CPU time
 * of the program and every child it waited for; and, when this runs as the
 * first process of a fresh pid namespace (unshare -p -f), the number of
 * processes the program started (the namespace's last pid, less this one
 * and the program's own); and the largest resident size, in kilobytes, of
 * the program or a child it waited for.
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Ms(const struct timespec *a, const struct timespec *b) {
    return (b->tv_sec - a->tv_sec) * 1e3 + (b->tv_nsec - a->tv_nsec) / 1e6;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: run_measure PROGRAM [ARGS...]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    siginfo_t info;
    if (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/schedstat", pid);
    unsigned long long runNs = 0;
    FILE *f = fopen(path, "r");
    if (f != NULL) {
        if (fscanf(f, "%llu", &runNs) != 1) runNs = 0;
        fclose(f);
    }
    struct rusage usage;
    int status;
    wait4(pid, &status, 0, &usage);
    double all = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
                 usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
    long processes = -1;
    if (getpid() == 1) {
        f = fopen("/proc/sys/kernel/ns_last_pid", "r");
        if (f != NULL) {
            if (fscanf(f, "%ld", &processes) == 1) processes -= 2;
            fclose(f);
        }
    }
    printf("%.1f %.2f %.1f %ld %ld\n", Ms(&start, &end), runNs / 1e6, all, processes,
           usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
