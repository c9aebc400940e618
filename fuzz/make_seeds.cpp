// Writes the fuzzer's starting corpus: well-formed and damaged containers of
// every shape the copy distinguishes, one file each, into the folder given.
// Each starts with the fuzzer's fault byte: none, and for some a failing
// read or write.
#include <cstdio>
#include <fstream>
#include <string>

#include "support/kvrb_builder.h"

using marlune::testing::Bytes;
using marlune::testing::KvrbBuilder;
using marlune::testing::prefix;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const Bytes variable = KvrbBuilder().preamble(6).chunk(0).chunk(17).chunk(300).build();
    const Bytes fixed = KvrbBuilder().lengthMode(0).chunk(5, 330).chunk(330).build();
    const struct {
        const char* name;
        Bytes bytes;
    } seeds[] = {
        {"header-only", KvrbBuilder().build()},
        {"fx30-preamble", KvrbBuilder().magic("fx30").preamble(40).build()},
        {"variable", variable},
        {"variable-max-mode", KvrbBuilder().lengthMode(32767).chunk(2).chunk(0).build()},
        {"fixed", fixed},
        {"fixed-negative", KvrbBuilder().lengthMode(-32768).chunk(65535, 330).build()},
        {"fixed-cut", prefix(fixed, fixed.size() - 3)},
        {"variable-cut-payload", prefix(variable, variable.size() - 1)},
        {"variable-cut-chunk-header", prefix(variable, variable.size() - 305)},
        {"short-header", prefix(variable, 81)},
        {"bad-magic", KvrbBuilder().magic("KVRb").chunk(1).build()},
        {"offset-below-header", KvrbBuilder().dataOffset(40).chunk(3).build()},
        {"offset-past-end", KvrbBuilder().dataOffset(0xFFFFFFF0u).build()},
        {"large-payload", KvrbBuilder().chunk(4000).chunk(1).build()},
    };
    const struct {
        const char* suffix;
        std::uint8_t fault;
    } faults[] = {{"", 0}, {"-read3-fails", 3}, {"-write2-fails", 0x82}};
    for (const auto& seed : seeds) {
        for (const auto& fault : faults) {
            const std::string name = std::string(argv[1]) + "/" + seed.name + fault.suffix;
            std::ofstream out(name, std::ios::binary);
            out.put(static_cast<char>(fault.fault));
            out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                      static_cast<std::streamsize>(seed.bytes.size()));
            if (!out) {
                std::fprintf(stderr, "make_seeds: cannot write %s\n", name.c_str());
                return 1;
            }
        }
    }
    return 0;
}
