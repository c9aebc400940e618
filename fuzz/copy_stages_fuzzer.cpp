// Runs the two copy stages on arbitrary bytes, as the copy entry point runs
// them, and compares result, failing stage and destination with the model.
// Any difference aborts, which libFuzzer reports with the input that caused it.
//
// An input is one byte that chooses a fault, then the source. The fault byte 0
// means none; otherwise its low 7 bits give the read (top bit clear) or write
// (top bit set) that fails with an error. When it fails, the copy must fail and
// leave a prefix of the model's output made of whole parts. Without a fault the
// same bytes are also judged in memory, as marlune_examine_memory judges them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "container/copy.h"
#include "copy_model.h"
#include "memory_os.h"

namespace {

const char* nameOf(marlune::fuzz::Outcome outcome) {
    switch (outcome) {
        case marlune::fuzz::Outcome::copied:
            return "copied";
        case marlune::fuzz::Outcome::headerFailed:
            return "header failed";
        case marlune::fuzz::Outcome::audioFailed:
            return "audio failed";
    }
    return "?";
}

[[noreturn]] void disagree(const char* what, marlune::fuzz::Outcome library, marlune::fuzz::Outcome model) {
    std::fprintf(stderr, "disagreement with the model: %s (library: %s, model: %s)\n", what, nameOf(library),
                 nameOf(model));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    using namespace marlune;
    if (length == 0) return 0;
    fuzz::MemoryOs os;
    const unsigned faultChoice = bytes[0];
    (faultChoice & 0x80 ? os.failingWrite : os.failingRead) = faultChoice & 0x7F;
    const std::uint8_t* data = bytes + 1;
    const std::size_t size = length - 1;
    const fuzz::Bytes input(data, data + size);
    os.files["in.snd"] = input;

    const fuzz::ModelResult expected = fuzz::modelCopy(data, size);
    fuzz::Outcome outcome = fuzz::Outcome::copied;
    container::Header header{};
    {
        // Small buffers too, so that inputs of a few KiB reach refills and chunks
        // that straddle a buffer's end; the size follows from the input's length.
        // A buffer holds at least the header and the largest chunk, as the entry
        // point's always does.
        constexpr std::size_t sizes[] = {0, 4096, 512, 100};
        const std::size_t chosen = sizes[length % std::size(sizes)];
        platform::File source;
        platform::File destination;
        container::CopyBuffer buffer;
        if (!source.openForReading(os, "in.snd") || !destination.createForWriting(os, "out.kv", source) ||
            !(chosen == 0 ? buffer.allocateFor(source.sizeAtOpen())
                          : buffer.allocate(std::max({chosen, expected.largestChunk, container::headerSize})))) {
            std::abort();
        }
        container::ContainerCopy copy(source, &destination, buffer, header);
        if (!copy.copyHeader()) {
            outcome = fuzz::Outcome::headerFailed;
        } else if (!copy.copyAudioData()) {
            outcome = fuzz::Outcome::audioFailed;
        }
    }

    const fuzz::Bytes& written = os.files.at("out.kv");
    if (os.files.at("in.snd") != input) disagree("the source was changed", outcome, expected.outcome);
    if (os.openFiles() != 0) disagree("a file was left open", outcome, expected.outcome);
    if (os.faulted) {
        if (outcome == fuzz::Outcome::copied) disagree("a failed transfer passed", outcome, expected.outcome);
        const auto& sizes = expected.wholeSizes;
        if (std::find(sizes.begin(), sizes.end(), written.size()) == sizes.end() ||
            !std::equal(written.begin(), written.end(), expected.destination.begin())) {
            disagree("after a failed transfer: not whole parts of the output", outcome, expected.outcome);
        }
        return 0;
    }
    if (outcome != expected.outcome) disagree("result", outcome, expected.outcome);
    if (written != expected.destination) disagree("destination bytes", outcome, expected.outcome);
    if (size >= header.size() && !std::equal(header.begin(), header.end(), data)) {
        disagree("header buffer", outcome, expected.outcome);
    }
    // The same bytes judged where they lie in memory, which must stay as they were.
    container::Header judged{};
    container::ContainerCopy inMemory(data, size, judged);
    const fuzz::Outcome seen = !inMemory.copyHeader()       ? fuzz::Outcome::headerFailed
                               : !inMemory.copyAudioData() ? fuzz::Outcome::audioFailed
                                                           : fuzz::Outcome::copied;
    if (seen != expected.outcome) disagree("judged in memory", seen, expected.outcome);
    if (!std::equal(input.begin(), input.end(), data)) disagree("the memory was changed", seen, expected.outcome);
    return 0;
}
