#include "container/examine.h"

#include "platform/file.h"

namespace marlune::container {
namespace {

constexpr std::size_t magicSize = 4;

Examination& cutShort(Examination& examination, Finding finding, std::uint64_t offset, std::uint64_t expected) {
    examination.finding = finding;
    examination.cutOffset = offset;
    examination.expectedBytes = expected;
    examination.missingBytes = offset + expected - examination.fileSize;
    return examination;
}

// The chunk area from dataOffset to the end. Only chunk headers are read; a
// payload is checked against the file's size, which is what the copy's read of
// it would find.
Examination& walkChunks(platform::File& file, Examination& examination) {
    std::uint64_t offset = dataOffset(examination.header);
    for (;;) {
        ChunkHeader chunk{};
        if (!file.seek(offset)) break;
        const std::int64_t got = file.read(chunk.data(), chunk.size());
        if (got < 0) break;
        if (got == 0) {
            examination.finding = Finding::complete;
            return examination;
        }
        if (got < static_cast<std::int64_t>(chunk.size())) {
            return cutShort(examination, Finding::chunkHeaderCut, offset, chunkHeaderSize);
        }
        const std::uint16_t payload = effectivePayloadLength(examination.header, chunk);
        const std::uint64_t payloadOffset = offset + chunkHeaderSize;
        if (payloadOffset + payload > examination.fileSize) {
            return cutShort(examination, Finding::payloadCut, payloadOffset, payload);
        }
        ++examination.chunks;
        examination.payloadBytes += payload;
        if (isFixedLength(examination.header) && chunkLength(chunk) != fixedPayloadLength) {
            ++examination.lengthFieldsToRewrite;
        }
        offset = payloadOffset + payload;
    }
    examination.finding = Finding::readFailed;
    return examination;
}

}  // namespace

Examination examine(platform::Os& os, const char* path) {
    Examination examination;
    platform::File file;
    if (!file.openForReading(os, path)) return examination;  // cannotOpen

    examination.finding = Finding::readFailed;
    if (!file.size(examination.fileSize)) return examination;
    const std::int64_t got = file.read(examination.header.data(), examination.header.size());
    if (got < 0) return examination;
    examination.headerBytes = static_cast<std::size_t>(got);

    // A short file whose first four bytes are no magic is no container at all,
    // rather than a container cut short.
    if (examination.headerBytes >= magicSize && !hasContainerMagic(examination.header)) {
        examination.finding = Finding::wrongMagic;
        return examination;
    }
    if (examination.headerBytes < headerSize) return cutShort(examination, Finding::headerCut, 0, headerSize);

    const std::uint32_t offset = dataOffset(examination.header);
    if (offset < headerSize) {
        examination.finding = Finding::dataOffsetBelowHeader;
        return examination;
    }
    if (offset > examination.fileSize) {
        return cutShort(examination, Finding::dataOffsetPastEnd, headerSize, offset - headerSize);
    }
    return walkChunks(file, examination);
}

}  // namespace marlune::container
