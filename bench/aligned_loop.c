/* The practical floor for a copier that must see every byte: a plain read/write
 * loop through one page-aligned buffer of 512 KiB, so that every read and write
 * but the last covers whole pages at page-aligned offsets. It checks nothing.
 *
 *   aligned_loop SOURCE DESTINATION     exits 0 on success */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { pieceSize = 512 * 1024, pageSize = 4096 };

static int write_all(int fd, const char *bytes, size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, bytes, size);
        if (put <= 0) return 0;
        bytes += put;
        size -= (size_t)put;
    }
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: aligned_loop SOURCE DESTINATION\n");
        return 2;
    }
    char *buffer = aligned_alloc(pageSize, pieceSize);
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!buffer || in < 0 || out < 0) {
        perror("aligned_loop");
        return 1;
    }
    ssize_t got;
    while ((got = read(in, buffer, pieceSize)) > 0) {
        if (!write_all(out, buffer, (size_t)got)) {
            perror("aligned_loop: write");
            return 1;
        }
    }
    if (got < 0 || close(out) != 0) {
        perror("aligned_loop");
        return 1;
    }
    close(in);
    free(buffer);
    return 0;
}
