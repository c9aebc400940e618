/* Writes KVRB containers for the benchmark, and the copy expected of each.
 *
 *   kvrbgen fixed MIB SOURCE EXPECTED   fixed-length chunks (lengthMode 0) whose headers
 *                                       claim random lengths; EXPECTED has 330 in each
 *   kvrbgen variable MIB SOURCE         payload lengths spread evenly over 0..4096
 *   kvrbgen preamble MIB SOURCE         a sparse preamble of MIB MiB, then a few chunks
 *
 * The output is the same on every run (a fixed pseudo-random sequence). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state = 0x9E3779B97F4A7C15u;

static uint32_t next_random(void) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return (uint32_t)(state >> 16);
}

static void put16(unsigned char *at, unsigned value) {
    at[0] = (unsigned char)(value & 0xFF);
    at[1] = (unsigned char)(value >> 8);
}

static void put32(unsigned char *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(value >> (8 * i));
}

static FILE *create(const char *path) {
    FILE *file = fopen(path, "wb");
    if (!file) {
        perror(path);
        exit(1);
    }
    setvbuf(file, NULL, _IOFBF, 1 << 20);
    return file;
}

static void put(FILE *file, const void *bytes, size_t size) {
    if (file && fwrite(bytes, 1, size, file) != size) {
        perror("write");
        exit(1);
    }
}

static void finish(FILE *file) {
    if (file && fclose(file) != 0) {
        perror("close");
        exit(1);
    }
}

static void header(unsigned char *bytes, int16_t length_mode, uint32_t data_offset) {
    for (int i = 0; i < 82; ++i) bytes[i] = (unsigned char)(0x40 + i);
    memcpy(bytes, "KVRB", 4);
    put16(bytes + 8, (uint16_t)length_mode);
    put32(bytes + 20, data_offset);
}

/* Chunks until the container holds at least `total` bytes. */
static void chunks(FILE *source, FILE *expected, int fixed, uint64_t total, uint64_t written) {
    static unsigned char payload[65536];
    while (written < total) {
        unsigned char chunk[8];
        for (int i = 0; i < 8; ++i) chunk[i] = (unsigned char)next_random();
        const unsigned length = fixed ? 330 : next_random() % 4097;
        if (!fixed) put16(chunk + 2, length);
        for (unsigned i = 0; i < length; ++i) payload[i] = (unsigned char)next_random();
        put(source, chunk, 8);
        put16(chunk + 2, length);
        put(expected, chunk, 8);
        put(source, payload, length);
        put(expected, payload, length);
        written += 8 + length;
    }
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: kvrbgen fixed|variable|preamble MIB SOURCE [EXPECTED]\n");
        return 2;
    }
    const uint64_t mib = strtoull(argv[2], NULL, 10) << 20;
    unsigned char bytes[82];
    FILE *source = create(argv[3]);
    if (strcmp(argv[1], "fixed") == 0 && argc == 5) {
        FILE *expected = create(argv[4]);
        header(bytes, 0, 82);
        put(source, bytes, 82);
        put(expected, bytes, 82);
        chunks(source, expected, 1, mib, 82);
        finish(expected);
    } else if (strcmp(argv[1], "variable") == 0) {
        header(bytes, 1, 82);
        put(source, bytes, 82);
        chunks(source, NULL, 0, mib, 82);
    } else if (strcmp(argv[1], "preamble") == 0 && mib + 82 <= UINT32_MAX) {
        header(bytes, 1, (uint32_t)(82 + mib));
        put(source, bytes, 82);
        /* The preamble is a hole: no disk space, but every byte is read and copied. */
        if (fseeko(source, (off_t)(82 + mib), SEEK_SET) != 0) {
            perror("seek");
            return 1;
        }
        chunks(source, NULL, 0, 82 + mib + 65536, 82 + mib);
    } else {
        fprintf(stderr, "kvrbgen: unknown mode or size\n");
        return 2;
    }
    finish(source);
    return 0;
}
