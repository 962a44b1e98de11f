// portable_outputs_main.cpp -- portable_outputs DIR: writes the fixed-input
// files of portable_outputs.h into DIR, for tools/test_arm.sh to compare the
// host's files with the board's (under qemu-arm) byte for byte.
#include <stdio.h>

#include "portable_outputs.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: portable_outputs DIR\n", stderr);
        return 2;
    }
    return WritePortableOutputs(argv[1]);
}
