/* A Windows program that loads Marlune.dll at run time, as hosts do: by name
   and by ordinal, with __stdcall pointer types. It copies a small container
   and converts another, and checks the results and the bytes. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef int32_t(__stdcall *KVRBinfoFunction)(const char *, const char *, int32_t);
typedef int32_t(__stdcall *IKVRBinfoFunction)(int32_t, const int32_t *, const char *);

static const unsigned char container[82 + 8 + 3] = {
    'K', 'V', 'R', 'B', 0, 0, 0, 0, 1, 0, [20] = 82, [82 + 2] = 3, [82 + 8] = 'a', 'b', 'c'};

static int writeFile(const char *path) {
    FILE *out = fopen(path, "wb");
    return out && fwrite(container, 1, sizeof container, out) == sizeof container && fclose(out) == 0;
}

static int holdsContainer(const char *path) {
    unsigned char bytes[sizeof container + 1];
    FILE *in = fopen(path, "rb");
    if (!in) return 0;
    size_t got = fread(bytes, 1, sizeof bytes, in);
    fclose(in);
    return got == sizeof container && memcmp(bytes, container, sizeof container) == 0;
}

int main(int argc, char **argv) {
    const char *dll = argc > 1 ? argv[1] : "Marlune.dll";
    HMODULE marlune = LoadLibraryA(dll);
    if (!marlune) return printf("cannot load %s\n", dll), 1;
    KVRBinfoFunction copyByName = (KVRBinfoFunction)(void (*)(void))GetProcAddress(marlune, "KVRBinfo");
    KVRBinfoFunction copyByOrdinal = (KVRBinfoFunction)(void (*)(void))GetProcAddress(marlune, MAKEINTRESOURCEA(1));
    IKVRBinfoFunction convertByName = (IKVRBinfoFunction)(void (*)(void))GetProcAddress(marlune, "IKVRBinfo");
    IKVRBinfoFunction convertByOrdinal =
        (IKVRBinfoFunction)(void (*)(void))GetProcAddress(marlune, MAKEINTRESOURCEA(2));
    if (!copyByName || copyByName != copyByOrdinal || !convertByName || convertByName != convertByOrdinal) {
        return puts("exports missing or at other ordinals"), 2;
    }

    const int32_t quiet = 0;
    if (!writeFile("in.snd") || copyByName("in.snd", "out.kv", quiet) != 1 || !holdsContainer("out.kv")) {
        return puts("KVRBinfo did not copy"), 3;
    }
    if (copyByName("missing.snd", "out2.kv", quiet) != 0) return puts("KVRBinfo did not fail"), 4;
    if (convertByName(0, &quiet, "in.snd") != -1 || !holdsContainer("in.kv") || GetFileAttributesA("in.snd") !=
                                                                                    INVALID_FILE_ATTRIBUTES) {
        return puts("IKVRBinfo did not convert"), 5;
    }
    if (convertByName(0, &quiet, "missing.snd") != 0) return puts("IKVRBinfo did not fail"), 6;
    FreeLibrary(marlune);
    puts("load_consumer: copied and converted");
    return 0;
}
