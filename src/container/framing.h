// The framing walk: what a run of bytes from the chunk area holds. Copies and
// examinations all judge chunks through it, so they cannot disagree.
#pragma once

#include "container/layout.h"

namespace marlune::container {

struct ChunkSpan {
    // The whole chunks at the start of the bytes, headers included.
    std::size_t wholeBytes = 0;
    std::uint64_t chunks = 0;
    std::uint64_t payloadBytes = 0;
    // Fixed-length chunks whose chunkLength was not 330 and now is.
    std::uint64_t lengthFieldsSet = 0;
    // The full size of the unfinished chunk after them (8 while its header is cut), or 0.
    std::size_t unfinishedSize = 0;
};

// The unit in which the system caches a file: a copy reads and writes whole ones.
inline constexpr std::size_t pageSize = 4096;

// Walks the chunks at the start of `bytes`, which begins at a chunk header. In
// fixed-length mode every payload is 330 bytes and, with `rewrite`, each whole
// chunk's header is given chunkLength 330 in place, as a copy writes it (without,
// `bytes` is only read). Inline: it runs per chunk.
//
// With `beforeLastPage`, for `bytes` lying at file offset `offset`: the span of
// the whole chunks before the last whole chunk that holds a page boundary, which
// is where a write that ends on that boundary leaves whole parts. Left as it was
// when no whole chunk holds one.
inline ChunkSpan walkChunks(std::uint8_t* bytes, std::size_t size, bool fixedLength, bool rewrite = true,
                            ChunkSpan* beforeLastPage = nullptr, std::uint64_t offset = 0) {
    ChunkSpan span;
    while (size - span.wholeBytes >= chunkHeaderSize) {
        std::uint8_t* const chunk = bytes + span.wholeBytes;
        const std::uint16_t payload = effectivePayloadLength(fixedLength, chunk);
        const std::size_t length = chunkHeaderSize + payload;
        if (size - span.wholeBytes < length) {
            span.unfinishedSize = length;
            return span;
        }
        const std::uint64_t start = offset + span.wholeBytes;
        if (beforeLastPage && ((start + pageSize - 1) & ~std::uint64_t{pageSize - 1}) < start + length) {
            *beforeLastPage = span;
        }
        if (fixedLength && chunkLength(chunk) != fixedPayloadLength) {
            if (rewrite) setChunkLength(chunk, fixedPayloadLength);
            ++span.lengthFieldsSet;
        }
        ++span.chunks;
        span.payloadBytes += payload;
        span.wholeBytes += length;
    }
    span.unfinishedSize = size == span.wholeBytes ? 0 : chunkHeaderSize;
    return span;
}

}  // namespace marlune::container
