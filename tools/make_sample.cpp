// Writes the sample container shipped as samples/take1.snd: a KVRB container in
// fixed-length mode whose chunk headers mostly store lengths other than 330, so
// that a copy visibly rewrites them. The same bytes come out on every run.
//
// Usage: marlune_make_sample FILE
#include <cstdint>
#include <cstdio>
#include <memory>

#include "support/kvrb_builder.h"

namespace {

marlune::testing::Bytes sample() {
    // What each chunk header stores; in fixed-length mode every payload is 330 bytes anyway.
    const std::uint16_t storedLengths[] = {330, 320, 0, 512, 330, 65535, 300, 330, 1, 400, 329, 331};
    marlune::testing::KvrbBuilder builder;
    builder.magic("KVRB").lengthMode(0).preamble(46);
    for (const std::uint16_t stored : storedLengths) builder.chunk(stored, 330);
    return builder.build();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: marlune_make_sample FILE\n", stderr);
        return 2;
    }
    const marlune::testing::Bytes bytes = sample();
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(argv[1], "wb"));
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fclose(file.release()) != 0) {
        std::fprintf(stderr, "marlune_make_sample: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
