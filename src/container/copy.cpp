#include "container/copy.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

namespace marlune::container {
namespace {

// The preamble is streamed through a buffer of this size, so that memory use does
// not grow with dataOffset. It also holds the largest possible payload.
constexpr std::size_t transferBufferSize = 64 * 1024;
static_assert(transferBufferSize >= 0xFFFF, "a payload must fit the transfer buffer");

std::unique_ptr<std::uint8_t[]> allocateTransferBuffer() {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[transferBufferSize]);
}

bool readExactly(platform::File& file, void* buffer, std::size_t size) {
    return file.read(buffer, size) == static_cast<std::int64_t>(size);
}

// A write that failed part way (a full disk) may have left part of a header,
// preamble or chunk behind: cut the destination back to what was whole. The stage
// fails either way, so a failure to cut back changes nothing.
bool failCuttingBackTo(platform::File& destination, std::uint64_t wholeBytes) {
    destination.truncate(wholeBytes);
    return false;
}

bool copyPreamble(platform::File& source, platform::File& destination, std::uint64_t length) {
    auto buffer = allocateTransferBuffer();
    if (!buffer || !source.seek(headerSize)) return false;
    while (length > 0) {
        const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(length, transferBufferSize));
        if (!readExactly(source, buffer.get(), block) || !destination.write(buffer.get(), block)) {
            return failCuttingBackTo(destination, headerSize);
        }
        length -= block;
    }
    return true;
}

enum class ChunkHeaderRead { complete, endOfData, failed };

ChunkHeaderRead readChunkHeader(platform::File& source, ChunkHeader& chunk) {
    const std::int64_t got = source.read(chunk.data(), chunk.size());
    if (got == 0) return ChunkHeaderRead::endOfData;
    return got == static_cast<std::int64_t>(chunk.size()) ? ChunkHeaderRead::complete : ChunkHeaderRead::failed;
}

}  // namespace

bool copyHeader(platform::File& source, platform::File& destination, Header& header) {
    if (!readExactly(source, header.data(), header.size())) return false;
    if (!hasContainerMagic(header)) return false;
    if (!destination.seek(0)) return false;
    if (!destination.write(header.data(), header.size())) return failCuttingBackTo(destination, 0);

    // Checked after the header is written, so that the destination holds the header
    // whenever the preamble is missing or malformed.
    const std::uint32_t offset = dataOffset(header);
    if (offset < headerSize) return false;
    std::uint64_t sourceSize = 0;
    if (!source.size(sourceSize) || sourceSize < offset) return false;
    return copyPreamble(source, destination, offset - headerSize);
}

bool copyAudioData(platform::File& source, platform::File& destination, const Header& header) {
    auto payload = allocateTransferBuffer();
    if (!payload || !source.seek(dataOffset(header))) return false;

    std::uint64_t written = dataOffset(header);  // header, preamble and complete chunks
    ChunkHeader chunk{};
    for (;;) {
        switch (readChunkHeader(source, chunk)) {
        case ChunkHeaderRead::endOfData: return true;
        case ChunkHeaderRead::failed: return false;
        case ChunkHeaderRead::complete: break;
        }
        if (isFixedLength(header)) setChunkLength(chunk, fixedPayloadLength);
        const std::uint16_t length = chunkLength(chunk);
        // A chunk is written only once its payload is read in full.
        if (!readExactly(source, payload.get(), length)) return false;
        if (!destination.write(chunk.data(), chunk.size()) || !destination.write(payload.get(), length)) {
            return failCuttingBackTo(destination, written);
        }
        written += chunk.size() + length;
    }
}

}  // namespace marlune::container
