#include "container/framing.h"

#include "container/layout.h"

namespace marlune::container {

ChunkSpan walkChunks(std::uint8_t* bytes, std::size_t size, bool fixedLength) {
    ChunkSpan span;
    while (size - span.wholeBytes >= chunkHeaderSize) {
        std::uint8_t* const chunk = bytes + span.wholeBytes;
        const std::uint16_t payload = effectivePayloadLength(fixedLength, chunk);
        const std::size_t length = chunkHeaderSize + payload;
        if (size - span.wholeBytes < length) {
            span.unfinishedSize = length;
            return span;
        }
        if (fixedLength && chunkLength(chunk) != fixedPayloadLength) {
            setChunkLength(chunk, fixedPayloadLength);
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
