/* Four copies of large containers: one after the other through KVRBinfo, whose
 * calls are serialised, against two threads that each make two through
 * marlune_copy, which share nothing.
 *
 *   parallel_copies ROUNDS OUTDIR SOURCE1 SOURCE2 SOURCE3 SOURCE4
 *
 * Alternates the two ways round by round and prints each way's median time and
 * their ratio. Every copy is written in place, as KVRBinfo writes, so that both
 * ways do the same work. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "marlune.h"

enum { copies = 4, threads = 2 };

static const char *sources[copies];
static char destinations[copies][4096];
static int failures;

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void *copyHalf(void *first) {
    marlune_options options = {0};
    options.size = sizeof options;
    options.replace = 1;
    options.placement = MARLUNE_IN_PLACE;
    for (int i = *(const int *)first; i < copies; i += threads) {
        if (marlune_copy(sources[i], destinations[i], &options, NULL) != MARLUNE_OK) __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
    }
    return NULL;
}

static double inParallel(void) {
    pthread_t running[threads];
    int firsts[threads];
    double start = now();
    for (int t = 0; t < threads; ++t) {
        firsts[t] = t;
        pthread_create(&running[t], NULL, copyHalf, &firsts[t]);
    }
    for (int t = 0; t < threads; ++t) pthread_join(running[t], NULL);
    return now() - start;
}

static double oneAfterAnother(void) {
    double start = now();
    for (int i = 0; i < copies; ++i) {
        if (KVRBinfo(sources[i], destinations[i], 1) != 1) ++failures;
    }
    return now() - start;
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
    if (argc != 3 + copies) {
        fprintf(stderr, "usage: parallel_copies ROUNDS OUTDIR SOURCE1 SOURCE2 SOURCE3 SOURCE4\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    if (rounds < 1 || rounds > 100) return 2;
    for (int i = 0; i < copies; ++i) {
        sources[i] = argv[3 + i];
        snprintf(destinations[i], sizeof destinations[i], "%s/parallel-%d.kv", argv[2], i);
    }
    oneAfterAnother();  /* warm-up: the sources in the cache, the destinations there */
    double serial[100], parallel[100];
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            serial[round] = oneAfterAnother();
            parallel[round] = inParallel();
        } else {
            parallel[round] = inParallel();
            serial[round] = oneAfterAnother();
        }
    }
    if (failures) {
        fprintf(stderr, "parallel copies: %d copies failed\n", failures);
        return 1;
    }
    double serialMedian = median(serial, rounds), parallelMedian = median(parallel, rounds);
    printf("parallel copies: 4 through KVRBinfo one after the other %.3f s; 2 threads of 2 through marlune_copy %.3f s\n",
           serialMedian, parallelMedian);
    printf("parallel copies: marlune_copy on 2 threads / KVRBinfo in turn %.2f\n", parallelMedian / serialMedian);
    for (int i = 0; i < copies; ++i) remove(destinations[i]);
    return 0;
}
