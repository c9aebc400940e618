/* Small files through KVRBinfo and marlune_copy against the plainest copy a
 * program can make.
 *
 *   small_copies FOLDER ROUNDS COPIES library|api|beside|plain|all
 *
 * Writes a 10 KiB variable-length container to FOLDER and copies it COPIES times
 * per round onto one existing destination, ROUNDS times, the ways asked for in
 * turn within each round: KVRBinfo ("library"), marlune_copy in place as KVRBinfo
 * writes ("api"), marlune_copy with its defaults, beside and moved into place
 * ("beside"), and open/read/write/close ("plain"). Prints each way's time per
 * copy (median of the rounds) and its ratio to the plain loop. With one way
 * alone it is what strace counts. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "marlune.h"

enum { containerSize = 10 * 1024 };

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void put16(unsigned char *at, unsigned value) {
    at[0] = (unsigned char)(value & 0xFF);
    at[1] = (unsigned char)(value >> 8);
}

/* Header "KVRB", lengthMode 1, dataOffset 82, then chunks of 8 + 400 bytes and a
   last one that ends the file at exactly 10 KiB. */
static void makeContainer(unsigned char *bytes) {
    memset(bytes, 0, containerSize);
    memcpy(bytes, "KVRB", 4);
    put16(bytes + 8, 1);
    bytes[20] = 82;
    size_t at = 82;
    while (at < containerSize) {
        size_t payload = containerSize - at - 8 < 400 ? containerSize - at - 8 : 400;
        put16(bytes + at + 2, (unsigned)payload);
        for (size_t i = 0; i < payload; ++i) bytes[at + 8 + i] = (unsigned char)(i * 7);
        at += 8 + payload;
    }
}

static int plainCopy(const char *source, const char *destination) {
    static unsigned char buffer[64 * 1024];
    int in = open(source, O_RDONLY);
    if (in < 0) return 0;
    int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        close(in);
        return 0;
    }
    ssize_t got;
    int ok = 1;
    while ((got = read(in, buffer, sizeof buffer)) > 0) {
        if (write(out, buffer, (size_t)got) != got) ok = 0;
    }
    close(out);
    close(in);
    return ok && got == 0;
}

static int apiCopy(const char *source, const char *destination, int32_t placement) {
    marlune_options options = {0};
    options.size = sizeof options;
    options.replace = 1;
    options.placement = placement;
    return marlune_copy(source, destination, &options, NULL) == MARLUNE_OK;
}

enum { ways = 4 };
static const char *const wayNames[ways] = {"library", "api", "beside", "plain"};
static const char *const wayTitles[ways] = {"KVRBinfo", "marlune_copy in place", "marlune_copy beside (default)",
                                            "plain open/read/write/close"};

static int copyOnce(int way, const char *source, const char *destination) {
    switch (way) {
        case 0: return KVRBinfo(source, destination, 1) == 1;
        case 1: return apiCopy(source, destination, MARLUNE_IN_PLACE);
        case 2: return apiCopy(source, destination, MARLUNE_BESIDE);
        default: return plainCopy(source, destination);
    }
}

static int compareDoubles(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double median(double *values, int count) {
    qsort(values, (size_t)count, sizeof *values, compareDoubles);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: small_copies FOLDER ROUNDS COPIES library|api|beside|plain|all\n");
        return 2;
    }
    int rounds = atoi(argv[2]), copies = atoi(argv[3]);
    int used[ways];
    for (int way = 0; way < ways; ++way) used[way] = !strcmp(argv[4], "all") || !strcmp(argv[4], wayNames[way]);
    if (rounds < 1 || rounds > 1000 || copies < 1) return 2;
    char source[4096], destination[4096];
    snprintf(source, sizeof source, "%s/small.snd", argv[1]);
    snprintf(destination, sizeof destination, "%s/small.kv", argv[1]);
    static unsigned char bytes[containerSize];
    makeContainer(bytes);
    FILE *file = fopen(source, "wb");
    if (!file || fwrite(bytes, 1, sizeof bytes, file) != sizeof bytes || fclose(file) != 0) return 1;
    if (!plainCopy(source, destination)) return 1;

    static double times[ways][1000];
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < ways; ++step) {
            int way = (round + step) % ways;
            if (!used[way]) continue;
            double start = now();
            for (int i = 0; i < copies; ++i) {
                if (!copyOnce(way, source, destination)) return 1;
            }
            times[way][round] = (now() - start) / copies;
        }
    }
    double plain = used[3] ? median(times[3], rounds) : 0;
    for (int way = 0; way < ways; ++way) {
        if (!used[way]) continue;
        double each = median(times[way], rounds);
        printf("small copies: %s %.2f us per copy", wayTitles[way], each * 1e6);
        if (plain > 0 && way != 3) printf(", %.3f of the plain loop", each / plain);
        printf("\n");
    }
    return 0;
}
