/* replay.c -- runs each line of a file through the shell with system(), in
 * order: the smallest run the event checker's required commands allow, for
 * run_measure to time beside orlinda.
 *
 *   replay COMMANDS_FILE
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: replay COMMANDS_FILE\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "r");
    if (freopen("/dev/null", "w", stdout) == NULL) return 1;
    if (in == NULL) return 1;
    char line[65536];
    while (fgets(line, sizeof(line), in) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '+') {
            FILE *made = fopen(line + 1, "w");
            if (made != NULL) fclose(made);
        } else if (line[0] == '<') {
            FILE *pipe = popen(line + 1, "r");
            if (pipe == NULL) return 1;
            char piece[4096];
            while (fgets(piece, sizeof(piece), pipe) != NULL) {
            }
            pclose(pipe);
        } else if (line[0] != '\0' && system(line) == -1) {
            return 1;
        }
    }
    fclose(in);
    return 0;
}
