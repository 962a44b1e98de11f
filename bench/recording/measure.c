/* measure.c -- runs a program pinned to one CPU and reports its CPU seconds
 * (user+sys) and peak resident memory. The peak is the VmHWM of the program's
 * own image, read every 5 ms while it runs (ru_maxrss can carry the peak of
 * the processes it was forked and exec'd from).
 *
 *   measure RESULT_FILE CPU PROGRAM [ARGS...]
 *
 * RESULT_FILE receives "cpu_seconds peak_kib exit_status". The polling runs
 * wherever the caller placed this process, not on the measured CPU.
 */
#define _GNU_SOURCE
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: measure RESULT_FILE CPU PROGRAM [ARGS...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(atoi(argv[2]), &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) {
            perror("measure: sched_setaffinity");
            _exit(127);
        }
        execvp(argv[3], argv + 3);
        perror("measure: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    long peak = 0;
    char statusPath[64];
    snprintf(statusPath, sizeof(statusPath), "/proc/%d/status", (int)pid);
    for (;;) {
        pid_t done = pid < 0 ? -1 : wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (done != 0) {
            perror("measure");
            return 1;
        }
        FILE *st = fopen(statusPath, "r");
        char line[256];
        while (st != NULL && fgets(line, sizeof(line), st) != NULL) {
            long kib;
            if (sscanf(line, "VmHWM: %ld", &kib) == 1 && kib > peak) peak = kib;
        }
        if (st != NULL) fclose(st);
        usleep(5000);
    }
    FILE *out = fopen(argv[1], "w");
    if (out == NULL) return 1;
    fprintf(out, "%.6f %ld %d\n",
            usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
            peak, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fclose(out);
    return 0;
}
