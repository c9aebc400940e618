/* Examines one container from its file and from memory, in rounds taken in turn,
 * and prints the median time of each and their ratio; beside them, two floors for
 * the memory route over the same buffer: one plain pass over every byte (a sum of
 * its 64-bit words, at the memory's bandwidth), and the bare walk of the chunk
 * headers, each header's length read to find the next. It prints figures; it is
 * not a test.
 *
 *   examine_memory CONTAINER [ROUNDS] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static volatile uint64_t sink;

static void plain_pass(const unsigned char *bytes, size_t length) {
    uint64_t sum = 0, word;
    for (size_t at = 0; at + 8 <= length; at += 8) {
        memcpy(&word, bytes + at, 8);
        sum += word;
    }
    sink = sum;
}

/* What a walk cannot do without: the next header's place comes from this one's
   length, unless every payload is 330 bytes. */
static void header_walk(const unsigned char *bytes, size_t length) {
    const int fixed = (int16_t)(bytes[8] | bytes[9] << 8) <= 0;
    size_t at = (size_t)bytes[20] | (size_t)bytes[21] << 8 | (size_t)bytes[22] << 16 | (size_t)bytes[23] << 24;
    uint64_t chunks = 0;
    while (at + 8 <= length) {
        at += 8 + (fixed ? 330 : (size_t)(bytes[at + 2] | bytes[at + 3] << 8));
        ++chunks;
    }
    sink = chunks;
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
    double *pass = calloc((size_t)rounds, sizeof *pass), *walk = calloc((size_t)rounds, sizeof *walk);
    marlune_report report = {sizeof report};
    for (int r = 0; r < rounds; ++r) {
        double start = now();
        if (marlune_examine(argv[1], &report) != MARLUNE_OK) return fprintf(stderr, "file: %d\n", report.status), 1;
        fromFile[r] = now() - start;
        start = now();
        if (marlune_examine_memory(bytes, (uint64_t)length, &report) != MARLUNE_OK) return 1;
        fromMemory[r] = now() - start;
        start = now();
        plain_pass(bytes, (size_t)length);
        pass[r] = now() - start;
        start = now();
        header_walk(bytes, (size_t)length);
        walk[r] = now() - start;
    }
    qsort(fromFile, (size_t)rounds, sizeof *fromFile, by_value);
    qsort(fromMemory, (size_t)rounds, sizeof *fromMemory, by_value);
    qsort(pass, (size_t)rounds, sizeof *pass, by_value);
    qsort(walk, (size_t)rounds, sizeof *walk, by_value);
    const double f = fromFile[rounds / 2], m = fromMemory[rounds / 2];
    printf("examine %s (%.0f MiB, %llu chunks): file %.4f s, memory %.4f s (median of %d): memory is %.2fx as fast\n",
           argv[1], (double)length / 1048576.0, (unsigned long long)report.chunks, f, m, rounds, f / m);
    printf("  floors in memory: a plain pass over the bytes %.4f s, the bare walk of the chunk headers %.4f s\n",
           pass[rounds / 2], walk[rounds / 2]);
    free(pass);
    free(walk);
    free(bytes);
    free(fromFile);
    free(fromMemory);
    return 0;
}
