/* Examines one container from its file and from memory, in rounds taken in turn,
 * and prints the median time of each and their ratio. It prints figures; it is
 * not a test.
 *
 *   examine_memory CONTAINER [ROUNDS] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "marlune.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: examine_memory CONTAINER [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? atoi(argv[2]) : 9;
    FILE *file = fopen(argv[1], "rb");
    if (!file) return perror(argv[1]), 1;
    fseek(file, 0, SEEK_END);
    const long length = ftell(file);
    rewind(file);
    unsigned char *bytes = malloc((size_t)length);
    if (!bytes || fread(bytes, 1, (size_t)length, file) != (size_t)length) return perror("read"), 1;
    fclose(file);

    double *fromFile = calloc((size_t)rounds, sizeof *fromFile), *fromMemory = calloc((size_t)rounds, sizeof *fromMemory);
    marlune_report report = {sizeof report};
    for (int r = 0; r < rounds; ++r) {
        double start = now();
        if (marlune_examine(argv[1], &report) != MARLUNE_OK) return fprintf(stderr, "file: %d\n", report.status), 1;
        fromFile[r] = now() - start;
        start = now();
        if (marlune_examine_memory(bytes, (uint64_t)length, &report) != MARLUNE_OK) return 1;
        fromMemory[r] = now() - start;
    }
    qsort(fromFile, (size_t)rounds, sizeof *fromFile, by_value);
    qsort(fromMemory, (size_t)rounds, sizeof *fromMemory, by_value);
    const double f = fromFile[rounds / 2], m = fromMemory[rounds / 2];
    printf("examine %s (%.0f MiB): file %.4f s, memory %.4f s (median of %d): memory is %.2fx as fast\n", argv[1],
           (double)length / 1048576.0, f, m, rounds, f / m);
    free(bytes);
    free(fromFile);
    free(fromMemory);
    return 0;
}
