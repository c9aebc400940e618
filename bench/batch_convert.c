/* Converts FILES containers of 10 KiB, in two folders, one marlune_convert at a
 * time and then with marlune_convert_batch in groups of GROUP, each over a fresh
 * set of the same files, and prints files per second for both. Run under
 * `strace -f -c` (bench/batch.sh does) for the flushes each makes. It prints
 * figures; it is not a test.
 *
 *   batch_convert DIR FILES GROUP single|batch|both */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "marlune.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* A per-chunk container of 10 KiB: the header, then chunks of 1000-byte payloads. */
static void make_files(const char *dir, int files, char **paths) {
    static unsigned char bytes[10240];
    memset(bytes, 0x5A, sizeof bytes);
    memcpy(bytes, "KVRB", 4);
    bytes[8] = 1, bytes[9] = 0;                                   /* lengthMode 1 */
    bytes[20] = 82, bytes[21] = bytes[22] = bytes[23] = 0;        /* dataOffset 82 */
    for (size_t at = 82; at + 8 <= sizeof bytes;) {
        const size_t payload = sizeof bytes - at - 8 < 1000 ? sizeof bytes - at - 8 : 1000;
        bytes[at + 2] = (unsigned char)(payload & 0xFF);
        bytes[at + 3] = (unsigned char)(payload >> 8);
        at += 8 + payload;
    }
    for (int i = 0; i < files; ++i) {
        snprintf(paths[i], 512, "%s/%c/take%05d.snd", dir, i % 2 ? 'b' : 'a', i);
        FILE *file = fopen(paths[i], "wb");
        if (!file || fwrite(bytes, 1, sizeof bytes, file) != sizeof bytes || fclose(file) != 0) {
            perror(paths[i]);
            exit(1);
        }
    }
}

static void prepare(const char *dir, int files, char **paths) {
    char folder[512];
    for (const char *name = "ab"; *name; ++name) {
        snprintf(folder, sizeof folder, "%s/%c", dir, *name);
        mkdir(folder, 0777);
    }
    make_files(dir, files, paths);
}

static double run_single(int files, char **paths) {
    const double start = now();
    for (int i = 0; i < files; ++i) {
        if (marlune_convert(paths[i], NULL, NULL) != MARLUNE_OK) fprintf(stderr, "failed: %s\n", paths[i]), exit(1);
    }
    return now() - start;
}

static double run_batch(int files, int group, char **paths) {
    marlune_batch_file *batch = calloc((size_t)group, sizeof *batch);
    const double start = now();
    for (int first = 0; first < files; first += group) {
        const int count = files - first < group ? files - first : group;
        for (int i = 0; i < count; ++i) {
            batch[i].size = sizeof batch[i];
            batch[i].source = paths[first + i];
        }
        if (marlune_convert_batch(batch, (uint32_t)count, NULL) != MARLUNE_OK) fprintf(stderr, "batch failed\n"), exit(1);
    }
    const double seconds = now() - start;
    free(batch);
    return seconds;
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: batch_convert DIR FILES GROUP single|batch|both\n");
        return 2;
    }
    const char *dir = argv[1];
    const int files = atoi(argv[2]), group = atoi(argv[3]);
    char **paths = malloc((size_t)files * sizeof *paths);
    for (int i = 0; i < files; ++i) paths[i] = malloc(512);
    const int single = strcmp(argv[4], "batch") != 0, batched = strcmp(argv[4], "single") != 0;
    if (single) {
        prepare(dir, files, paths);
        const double seconds = run_single(files, paths);
        printf("marlune_convert, one at a time: %d files in %.2f s, %.0f files/s\n", files, seconds, files / seconds);
    }
    if (batched) {
        prepare(dir, files, paths);
        const double seconds = run_batch(files, group, paths);
        printf("marlune_convert_batch, groups of %d: %d files in %.2f s, %.0f files/s\n", group, files, seconds,
               files / seconds);
    }
    return 0;
}
