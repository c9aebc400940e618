/* The copy done literally, for comparison only: unbuffered reads and writes, a
 * buffer of exactly the preamble's size, and for every chunk one allocation, two
 * reads and two writes. `literal_copy SOURCE DESTINATION` exits 0 on success. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long read_up_to(int fd, void *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, (char *)buffer + done, size - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += (size_t)got;
    }
    return (long)done;
}

static int write_all(int fd, const void *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, (const char *)buffer + done, size - done);
        if (put <= 0) return 0;
        done += (size_t)put;
    }
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int source = open(argv[1], O_RDONLY);
    const int destination = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (source < 0 || destination < 0) return 1;

    unsigned char header[82];
    if (read_up_to(source, header, 82) != 82 || (memcmp(header, "KVRB", 4) != 0 && memcmp(header, "fx30", 4) != 0)) {
        return 1;
    }
    const int fixed = (int16_t)(header[8] | header[9] << 8) <= 0;
    const uint32_t data_offset = (uint32_t)header[20] | (uint32_t)header[21] << 8 | (uint32_t)header[22] << 16 |
                                 (uint32_t)header[23] << 24;
    if (data_offset < 82 || !write_all(destination, header, 82)) return 1;
    unsigned char *preamble = malloc(data_offset - 82 + 1);
    if (!preamble || lseek(source, 82, SEEK_SET) != 82) return 1;
    if (read_up_to(source, preamble, data_offset - 82) != (long)(data_offset - 82)) return 1;
    if (!write_all(destination, preamble, data_offset - 82)) return 1;
    free(preamble);

    if (lseek(source, data_offset, SEEK_SET) != (off_t)data_offset) return 1;
    unsigned char chunk[8];
    for (;;) {
        const long got = read_up_to(source, chunk, 8);
        if (got == 0) break;
        if (got != 8) return 1;
        if (fixed) {
            chunk[2] = 330 & 0xFF;
            chunk[3] = 330 >> 8;
        }
        const size_t length = (size_t)(chunk[2] | chunk[3] << 8);
        unsigned char *payload = malloc(length + 1);
        if (!payload || read_up_to(source, payload, length) != (long)length) return 1;
        if (!write_all(destination, chunk, 8) || !write_all(destination, payload, length)) return 1;
        free(payload);
    }
    return close(destination) == 0 ? 0 : 1;
}
