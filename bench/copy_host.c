/* A minimal host for the benchmark: `copy_host SOURCE DESTINATION` copies one
 * container with KVRBinfo, as `marlune copy` does, and exits 0 on success. */
#include <stdio.h>

#include "marlune.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: copy_host SOURCE DESTINATION\n");
        return 2;
    }
    return KVRBinfo(argv[1], argv[2], 1) == 1 ? 0 : 1;
}
