#include "container/copy.h"

#include <cstdint>
#include <cstring>

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

enum class Block { copied, endOfData, oneChunkAtATime, failed };

// The common case, in place: reads as much of the source as the destination's buffer
// takes straight into it, completes the whole chunks there and commits them one by
// one. The start of a chunk that did not arrive whole (`carried` bytes) stays there
// for the next block; Block::oneChunkAtATime when a chunk does not fit at all, after
// giving its start back to the source. `position` is where the next chunk starts.
Block copyWholeChunksInPlace(platform::File& source, platform::File& destination, bool fixedLength,
                             std::uint64_t& position, std::size_t& carried) {
    std::size_t room = 0;
    std::uint8_t* const space = destination.writeSpace(room, carried);
    if (room < chunkHeaderSize || room <= carried) {
        const bool rewound = carried == 0 || source.seek(position);
        carried = 0;
        return rewound ? Block::oneChunkAtATime : Block::failed;
    }
    const std::int64_t got = source.read(space + carried, room - carried);
    if (got < 0) return Block::failed;
    // At the end of the source: complete only when no chunk was left unfinished.
    if (got == 0) return carried == 0 ? Block::endOfData : Block::failed;
    const std::size_t size = carried + static_cast<std::size_t>(got);
    std::size_t whole = 0;
    while (size - whole >= chunkHeaderSize) {
        ChunkHeader chunk;
        std::memcpy(chunk.data(), space + whole, chunk.size());
        if (fixedLength) {
            setChunkLength(chunk, fixedPayloadLength);
            std::memcpy(space + whole, chunk.data(), chunk.size());
        }
        const std::size_t length = chunk.size() + chunkLength(chunk);
        if (size - whole < length) break;
        destination.commit(length);
        destination.markWhole();
        whole += length;
    }
    position += whole;
    carried = size - whole;
    return Block::copied;
}

bool copyChunks(platform::File& source, platform::File& destination, const Header& header) {
    std::uint64_t position = dataOffset(header);
    if (!source.seek(position)) return false;

    const bool fixedLength = isFixedLength(header);
    std::size_t carried = 0;
    ChunkHeader chunk{};
    for (;;) {
        switch (copyWholeChunksInPlace(source, destination, fixedLength, position, carried)) {
        case Block::copied: continue;
        case Block::endOfData: return true;
        case Block::failed: return false;
        case Block::oneChunkAtATime: break;
        }
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
        position += chunk.size() + length;
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
