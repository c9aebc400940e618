// The framing walk: what a run of bytes from the chunk area holds. The copy and
// the examination both judge chunks through it, so they cannot disagree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace marlune::container {

struct ChunkSpan {
    // The whole chunks at the start of the bytes, headers included.
    std::size_t wholeBytes = 0;
    std::uint64_t chunks = 0;
    std::uint64_t payloadBytes = 0;
    // Fixed-length chunks whose chunkLength was not 330 and now is.
    std::uint64_t lengthFieldsSet = 0;
    // The chunk that starts after the whole ones and does not end within the bytes:
    // its size when complete (its header, or header and payload once the header is
    // there), 0 when the bytes end exactly after the whole chunks.
    std::size_t unfinishedSize = 0;
};

// Walks the chunks at the start of `bytes`, which begins at a chunk header. In
// fixed-length mode every payload is 330 bytes and each whole chunk's header is
// given chunkLength 330 in place, as a copy writes it.
ChunkSpan walkChunks(std::uint8_t* bytes, std::size_t size, bool fixedLength);

}  // namespace marlune::container
