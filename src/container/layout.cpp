#include "container/layout.h"

#include <cstring>

namespace marlune::container {
namespace {

std::uint16_t readU16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t readU32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

}  // namespace

bool hasContainerMagic(const Header& header) {
    return std::memcmp(header.data(), "KVRB", 4) == 0 || std::memcmp(header.data(), "fx30", 4) == 0;
}

std::int16_t lengthMode(const Header& header) {
    return static_cast<std::int16_t>(readU16(&header[8]));
}

bool isFixedLength(const Header& header) {
    return lengthMode(header) <= 0;
}

std::uint32_t dataOffset(const Header& header) {
    return readU32(&header[20]);
}

std::uint16_t effectivePayloadLength(const Header& header, const ChunkHeader& chunk) {
    return isFixedLength(header) ? fixedPayloadLength : chunkLength(chunk);
}

}  // namespace marlune::container
