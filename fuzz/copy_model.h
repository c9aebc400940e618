// What a copy of `source` must give, worked out directly from the container's
// framing: an 82-byte header with the magic "KVRB" or "fx30", lengthMode
// (signed 16-bit) at 8, dataOffset (unsigned 32-bit) at 20, then chunks of an
// 8-byte header, with the payload length at 2, up to the end of the file.
// Written apart from the library so that the two can disagree.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace marlune::fuzz {

enum class Outcome { copied, headerFailed, audioFailed };

struct ModelResult {
    Outcome outcome;
    std::vector<std::uint8_t> destination;
    // The sizes at which the destination held only whole parts on the way:
    // nothing, the header, header and preamble, then each complete chunk.
    std::vector<std::size_t> wholeSizes;
    // The largest complete chunk, header included.
    std::size_t largestChunk = 0;
};

inline ModelResult modelCopy(const std::uint8_t* source, std::size_t size) {
    ModelResult result{Outcome::headerFailed, {}, {0}};
    if (size < 82) return result;
    if (std::memcmp(source, "KVRB", 4) != 0 && std::memcmp(source, "fx30", 4) != 0) return result;
    result.destination.assign(source, source + 82);
    result.wholeSizes.push_back(82);
    const unsigned mode = source[8] | source[9] << 8;
    const bool fixed = mode == 0 || mode >= 0x8000;
    const std::uint64_t offset = source[20] | source[21] << 8 | source[22] << 16 | std::uint64_t{source[23]} << 24;
    if (offset < 82 || offset > size) return result;
    result.destination.assign(source, source + offset);
    result.wholeSizes.push_back(result.destination.size());

    result.outcome = Outcome::audioFailed;
    std::size_t at = static_cast<std::size_t>(offset);
    while (at < size) {
        if (size - at < 8) return result;
        std::uint8_t chunk[8];
        std::memcpy(chunk, source + at, 8);
        if (fixed) {
            chunk[2] = 330 & 0xFF;
            chunk[3] = 330 >> 8;
        }
        const std::size_t payload = chunk[2] | chunk[3] << 8;
        if (size - at - 8 < payload) return result;
        result.destination.insert(result.destination.end(), chunk, chunk + 8);
        result.destination.insert(result.destination.end(), source + at + 8, source + at + 8 + payload);
        at += 8 + payload;
        result.largestChunk = std::max(result.largestChunk, 8 + payload);
        result.wholeSizes.push_back(result.destination.size());
    }
    result.outcome = Outcome::copied;
    return result;
}

}  // namespace marlune::fuzz
