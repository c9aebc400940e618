/* Small files through KVRBinfo against the plainest copy a program can make.
 *
 *   small_copies FOLDER ROUNDS COPIES library|plain|both
 *
 * Writes a 10 KiB variable-length container to FOLDER and copies it COPIES times
 * per round onto one existing destination, ROUNDS times, alternating the two ways
 * round by round when asked for both. Prints each way's time per copy (median of
 * the rounds) and their ratio. With one way alone it is what strace counts. */
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
        fprintf(stderr, "usage: small_copies FOLDER ROUNDS COPIES library|plain|both\n");
        return 2;
    }
    int rounds = atoi(argv[2]), copies = atoi(argv[3]);
    int useLibrary = strcmp(argv[4], "plain") != 0, usePlain = strcmp(argv[4], "library") != 0;
    if (rounds < 1 || rounds > 1000 || copies < 1) return 2;
    char source[4096], destination[4096];
    snprintf(source, sizeof source, "%s/small.snd", argv[1]);
    snprintf(destination, sizeof destination, "%s/small.kv", argv[1]);
    static unsigned char bytes[containerSize];
    makeContainer(bytes);
    FILE *file = fopen(source, "wb");
    if (!file || fwrite(bytes, 1, sizeof bytes, file) != sizeof bytes || fclose(file) != 0) return 1;
    if (!plainCopy(source, destination)) return 1;

    double libraryTimes[1000], plainTimes[1000];
    for (int round = 0; round < rounds; ++round) {
        for (int way = 0; way < 2; ++way) {
            int library = (round + way) % 2 == 0;
            if ((library && !useLibrary) || (!library && !usePlain)) continue;
            double start = now();
            for (int i = 0; i < copies; ++i) {
                int ok = library ? KVRBinfo(source, destination, 1) == 1 : plainCopy(source, destination);
                if (!ok) return 1;
            }
            (library ? libraryTimes : plainTimes)[round] = (now() - start) / copies;
        }
    }
    double libraryMedian = useLibrary ? median(libraryTimes, rounds) : 0;
    double plainMedian = usePlain ? median(plainTimes, rounds) : 0;
    if (useLibrary) printf("small copies: KVRBinfo %.2f us per copy\n", libraryMedian * 1e6);
    if (usePlain) printf("small copies: plain open/read/write/close %.2f us per copy\n", plainMedian * 1e6);
    if (useLibrary && usePlain) printf("small copies: KVRBinfo / plain %.3f\n", libraryMedian / plainMedian);
    return 0;
}
