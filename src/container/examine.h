// Walks a file as the copy would, without writing anything, and says whether it
// is a complete container and, when not, where and why it falls short. The
// command's `info` uses it, so that it judges a file exactly as the copy does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/layout.h"
#include "platform/os.h"

namespace marlune::container {

enum class Finding {
    complete,
    cannotOpen,
    readFailed,             // the system reported an error while reading
    wrongMagic,             // neither "KVRB" nor "fx30"
    headerCut,              // fewer than 82 bytes
    dataOffsetBelowHeader,  // dataOffset < 82
    dataOffsetPastEnd,      // the file ends inside the preamble
    chunkHeaderCut,         // the file ends 1 to 7 bytes into a chunk header
    payloadCut,             // the file ends inside a payload
};

struct Examination {
    Finding finding = Finding::cannotOpen;
    std::uint64_t fileSize = 0;
    // The header as read; only its first `headerBytes` bytes come from the file.
    Header header{};
    std::size_t headerBytes = 0;
    // The complete chunks, their payload bytes (330 each in fixed-length mode),
    // and how many of them store a chunkLength other than 330 in fixed-length
    // mode: the length fields a copy rewrites.
    std::uint64_t chunks = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t lengthFieldsToRewrite = 0;
    // Where the piece that is cut short (header, preamble, chunk header or
    // payload) starts, and how many of its bytes the file lacks.
    std::uint64_t cutOffset = 0;
    std::uint64_t missingBytes = 0;
    // The piece's expected size: 82, the preamble, 8, or the effective payload length.
    std::uint64_t expectedBytes = 0;
};

// True when the header was read in full and carries a container magic, so that
// its fields mean something.
inline bool hasContainerHeader(const Examination& examination) {
    return examination.headerBytes == headerSize && hasContainerMagic(examination.header);
}

Examination examine(platform::Os& os, const char* path);

}  // namespace marlune::container
