/* A program outside the project that uses the installed library: it writes a
   small fixed-length container, copies it, and checks the copy. */
#include <stdio.h>
#include <string.h>

#include <marlune.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: consumer SOURCE DESTINATION\n");
        return 2;
    }
    unsigned char container[82 + 8 + 330];
    memset(container, 0x11, sizeof container);
    memcpy(container, "KVRB", 4);
    container[8] = 0;  /* lengthMode 0: fixed-length chunks */
    container[9] = 0;
    container[20] = 82; /* dataOffset */
    container[21] = container[22] = container[23] = 0;
    container[82 + 2] = 7; /* a chunk that claims 7 bytes */
    container[82 + 3] = 0;

    FILE *out = fopen(argv[1], "wb");
    if (!out || fwrite(container, 1, sizeof container, out) != sizeof container || fclose(out) != 0) return 3;

#ifdef _WIN32
    const int32_t showErrors = 0; /* a message box would wait for a user */
#else
    const int32_t showErrors = 1;
#endif
    if (KVRBinfo(argv[1], argv[2], showErrors) != 1) return 4;

    unsigned char copy[sizeof container + 1];
    FILE *in = fopen(argv[2], "rb");
    if (!in) return 5;
    size_t got = fread(copy, 1, sizeof copy, in);
    fclose(in);
    container[82 + 2] = 330 & 0xFF; /* written back as 330 */
    container[82 + 3] = 330 >> 8;
    if (got != sizeof container || memcmp(copy, container, sizeof container) != 0) return 6;
    puts("consumer: copied");
    return 0;
}
