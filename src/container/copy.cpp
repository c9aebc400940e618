#include "container/copy.h"

#include <cstdint>

namespace marlune::container {
namespace {

bool readExactly(platform::File& file, void* buffer, std::size_t size) {
    return file.read(buffer, size) == static_cast<std::int64_t>(size);
}

// Every stage ends here: its writes reach the system whatever the outcome, and a
// failed stage leaves no part behind that it wrote only in part. A write that fails
// only now fails the stage.
bool finishStage(platform::File& destination, bool done) {
    if (!done) {
        destination.cutBackToWhole();
        return false;
    }
    return destination.flush();
}

bool copyHeaderAndPreamble(platform::File& source, platform::File& destination, Header& header) {
    if (!readExactly(source, header.data(), header.size())) return false;
    if (!hasContainerMagic(header)) return false;
    if (!destination.seek(0) || !destination.write(header.data(), header.size())) return false;
    destination.markWhole();

    // Checked after the header is written, so that the destination holds the header
    // whenever the preamble is missing or malformed.
    const std::uint32_t offset = dataOffset(header);
    if (offset < headerSize) return false;
    std::uint64_t sourceSize = 0;
    if (!source.size(sourceSize) || sourceSize < offset || !source.seek(headerSize)) return false;
    const std::uint64_t length = offset - headerSize;
    if (destination.copyFrom(source, length) != static_cast<std::int64_t>(length)) return false;
    destination.markWhole();
    return true;
}

enum class ChunkHeaderRead { complete, endOfData, failed };

ChunkHeaderRead readChunkHeader(platform::File& source, ChunkHeader& chunk) {
    const std::int64_t got = source.read(chunk.data(), chunk.size());
    if (got == 0) return ChunkHeaderRead::endOfData;
    return got == static_cast<std::int64_t>(chunk.size()) ? ChunkHeaderRead::complete : ChunkHeaderRead::failed;
}

bool copyChunks(platform::File& source, platform::File& destination, const Header& header) {
    if (!source.seek(dataOffset(header))) return false;

    const bool fixedLength = isFixedLength(header);
    ChunkHeader chunk{};
    for (;;) {
        switch (readChunkHeader(source, chunk)) {
        case ChunkHeaderRead::endOfData: return true;
        case ChunkHeaderRead::failed: return false;
        case ChunkHeaderRead::complete: break;
        }
        if (fixedLength) setChunkLength(chunk, fixedPayloadLength);
        const std::uint16_t length = chunkLength(chunk);
        // The payload goes from the source's buffer straight into the destination's.
        // Until the mark, the chunk is not whole: when its payload is cut short, the
        // stage's failure takes its header back out, so no partial chunk is written.
        if (!destination.write(chunk.data(), chunk.size()) || destination.copyFrom(source, length) != length) {
            return false;
        }
        destination.markWhole();
    }
}

}  // namespace

bool copyHeader(platform::File& source, platform::File& destination, Header& header) {
    return finishStage(destination, copyHeaderAndPreamble(source, destination, header));
}

bool copyAudioData(platform::File& source, platform::File& destination, const Header& header) {
    return finishStage(destination, copyChunks(source, destination, header));
}

}  // namespace marlune::container
