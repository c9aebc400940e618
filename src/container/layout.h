// The KVRB container's byte layout: an 82-byte header, an opaque preamble up to
// dataOffset, then chunks of an 8-byte chunk header and a payload up to the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marlune::container {

inline constexpr std::size_t headerSize = 82;
inline constexpr std::size_t chunkHeaderSize = 8;
inline constexpr std::uint16_t fixedPayloadLength = 330;

using Header = std::array<std::uint8_t, headerSize>;

// True when the header starts with "KVRB" or "fx30" (case-sensitive).
inline bool hasContainerMagic(const Header& header) {
    return std::memcmp(header.data(), "KVRB", 4) == 0 || std::memcmp(header.data(), "fx30", 4) == 0;
}

// Whether the first `size` bytes of a file may begin a container: some bytes, and
// as many of them as there are match the start of a magic.
inline bool mayStartContainer(const std::uint8_t* bytes, std::size_t size) {
    const std::size_t compared = size < 4 ? size : 4;
    return size > 0 && (std::memcmp(bytes, "KVRB", compared) == 0 || std::memcmp(bytes, "fx30", compared) == 0);
}

// lengthMode: signed 16-bit at offset 8.
inline std::int16_t lengthMode(const Header& header) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(header[8] | (header[9] << 8)));
}

// Zero or negative lengthMode: every payload is 330 bytes, whatever the chunk says.
inline bool isFixedLength(const Header& header) {
    return lengthMode(header) <= 0;
}

// dataOffset: unsigned 32-bit at offset 20, where the first chunk header starts.
inline std::uint32_t dataOffset(const Header& header) {
    return static_cast<std::uint32_t>(header[20]) | (static_cast<std::uint32_t>(header[21]) << 8) |
           (static_cast<std::uint32_t>(header[22]) << 16) | (static_cast<std::uint32_t>(header[23]) << 24);
}

// chunkLength: unsigned 16-bit at offset 2 of a chunk header, where it lies.
inline std::uint16_t chunkLength(const std::uint8_t* chunk) {
    return static_cast<std::uint16_t>(chunk[2] | (chunk[3] << 8));
}
inline void setChunkLength(std::uint8_t* chunk, std::uint16_t length) {
    chunk[2] = static_cast<std::uint8_t>(length & 0xFF);
    chunk[3] = static_cast<std::uint8_t>(length >> 8);
}

// The number of payload bytes that follow this chunk header.
inline std::uint16_t effectivePayloadLength(bool fixedLength, const std::uint8_t* chunk) {
    return fixedLength ? fixedPayloadLength : chunkLength(chunk);
}

}  // namespace marlune::container
