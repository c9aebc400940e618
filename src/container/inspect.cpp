#include "container/inspect.h"

#include "platform/file.h"

namespace marlune::container {
namespace {

constexpr std::size_t magicSize = 4;

Inspection& cutShort(Inspection& inspection, Finding finding, std::uint64_t offset, std::uint64_t expected) {
    inspection.finding = finding;
    inspection.cutOffset = offset;
    inspection.expectedBytes = expected;
    inspection.missingBytes = offset + expected - inspection.fileSize;
    return inspection;
}

// The chunk area from dataOffset to the end. Only chunk headers are read; a
// payload is checked against the file's size, which is what the copy's read of
// it would find.
Inspection& walkChunks(platform::File& file, Inspection& inspection) {
    std::uint64_t offset = dataOffset(inspection.header);
    for (;;) {
        ChunkHeader chunk{};
        if (!file.seek(offset)) break;
        const std::int64_t got = file.read(chunk.data(), chunk.size());
        if (got < 0) break;
        if (got == 0) {
            inspection.finding = Finding::complete;
            return inspection;
        }
        if (got < static_cast<std::int64_t>(chunk.size())) {
            return cutShort(inspection, Finding::chunkHeaderCut, offset, chunkHeaderSize);
        }
        const std::uint16_t payload = effectivePayloadLength(inspection.header, chunk);
        const std::uint64_t payloadOffset = offset + chunkHeaderSize;
        if (payloadOffset + payload > inspection.fileSize) {
            return cutShort(inspection, Finding::payloadCut, payloadOffset, payload);
        }
        ++inspection.chunks;
        inspection.payloadBytes += payload;
        if (isFixedLength(inspection.header) && chunkLength(chunk) != fixedPayloadLength) {
            ++inspection.lengthFieldsToRewrite;
        }
        offset = payloadOffset + payload;
    }
    inspection.finding = Finding::readFailed;
    return inspection;
}

}  // namespace

Inspection inspect(platform::Os& os, const char* path) {
    Inspection inspection;
    platform::File file;
    if (!file.openForReading(os, path)) return inspection;  // cannotOpen

    inspection.finding = Finding::readFailed;
    if (!file.size(inspection.fileSize)) return inspection;
    const std::int64_t got = file.read(inspection.header.data(), inspection.header.size());
    if (got < 0) return inspection;
    inspection.headerBytes = static_cast<std::size_t>(got);

    // A short file whose first four bytes are no magic is no container at all,
    // rather than a container cut short.
    if (inspection.headerBytes >= magicSize && !hasContainerMagic(inspection.header)) {
        inspection.finding = Finding::wrongMagic;
        return inspection;
    }
    if (inspection.headerBytes < headerSize) return cutShort(inspection, Finding::headerCut, 0, headerSize);

    const std::uint32_t offset = dataOffset(inspection.header);
    if (offset < headerSize) {
        inspection.finding = Finding::dataOffsetBelowHeader;
        return inspection;
    }
    if (offset > inspection.fileSize) {
        return cutShort(inspection, Finding::dataOffsetPastEnd, headerSize, offset - headerSize);
    }
    return walkChunks(file, inspection);
}

}  // namespace marlune::container
