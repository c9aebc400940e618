// The KVRB container's byte layout: an 82-byte header, an opaque preamble up to
// dataOffset, then chunks of an 8-byte chunk header and a payload up to the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace marlune::container {

inline constexpr std::size_t headerSize = 82;
inline constexpr std::size_t chunkHeaderSize = 8;
inline constexpr std::uint16_t fixedPayloadLength = 330;

using Header = std::array<std::uint8_t, headerSize>;
using ChunkHeader = std::array<std::uint8_t, chunkHeaderSize>;

// True when the header starts with "KVRB" or "fx30" (case-sensitive).
bool hasContainerMagic(const Header& header);

// lengthMode: signed 16-bit at offset 8.
std::int16_t lengthMode(const Header& header);

// Zero or negative lengthMode: every payload is 330 bytes, whatever the chunk says.
bool isFixedLength(const Header& header);

// dataOffset: unsigned 32-bit at offset 20, where the first chunk header starts.
std::uint32_t dataOffset(const Header& header);

// chunkLength: unsigned 16-bit at offset 2 of a chunk header. Inline: the copy
// reads or sets it for every chunk.
inline std::uint16_t chunkLength(const ChunkHeader& chunk) {
    return static_cast<std::uint16_t>(chunk[2] | (chunk[3] << 8));
}
inline void setChunkLength(ChunkHeader& chunk, std::uint16_t length) {
    chunk[2] = static_cast<std::uint8_t>(length & 0xFF);
    chunk[3] = static_cast<std::uint8_t>(length >> 8);
}

// The number of payload bytes that follow this chunk header.
std::uint16_t effectivePayloadLength(const Header& header, const ChunkHeader& chunk);

}  // namespace marlune::container
