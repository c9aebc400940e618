// The copy of a container from one open file to another, in the two stages the
// entry points report on. It keeps nothing between calls: its caller gives it
// the files, the header buffer and the memory it works in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "container/layout.h"
#include "platform/file.h"

namespace marlune::container {

enum class Finding {
    complete,
    cannotOpen,             // the source could not be opened (found by whoever opens it)
    noMemory,               // no buffer to copy in
    readFailed,             // the system reported an error while reading
    writeFailed,            // the system reported an error while writing, or the disk is full
    wrongMagic,             // neither "KVRB" nor "fx30"
    headerCut,              // fewer than 82 bytes
    dataOffsetBelowHeader,  // dataOffset < 82
    dataOffsetPastEnd,      // the file ends inside the preamble
    chunkHeaderCut,         // the file ends 1 to 7 bytes into a chunk header
    payloadCut,             // the file ends inside a payload
    sourceChanged,          // the source was cut or extended while it was read
};

// What a copy saw of its source, as far as it got.
struct CopyReport {
    Finding finding = Finding::complete;
    // How much of the header the source holds, up to 82 bytes.
    std::size_t headerBytes = 0;
    // The whole chunks, their payload bytes, and how many of them had a chunkLength
    // other than 330 set to 330 (fixed-length mode).
    std::uint64_t chunks = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t lengthFieldsSet = 0;
    // The piece that is cut short (header, preamble, chunk header or payload):
    // where it starts, its expected size and how many of its bytes are missing.
    std::uint64_t cutOffset = 0;
    std::uint64_t expectedBytes = 0;
    std::uint64_t missingBytes = 0;
};

// One copy's working memory: the source is read into it, and the destination is
// written straight from it.
class CopyBuffer {
public:
    static constexpr std::size_t largestChunk = chunkHeaderSize + 0xFFFF;
    static constexpr std::size_t preferredSize = 512 * 1024;
    static constexpr std::size_t smallestSize = 4096;

    // What a source of `sourceSize` bytes needs, from smallestSize to preferredSize;
    // short of memory, what holds the largest chunk. False when not even that.
    bool allocateFor(std::uint64_t sourceSize);
    // Exactly `size` bytes, at least a header's. A chunk that does not fit fails the
    // copy: allocateFor's sizes hold every chunk of the source.
    bool allocate(std::size_t size);

    std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

// The destination is only ever written in whole parts (the header, the preamble,
// whole chunks), so that a failed stage cuts it back to the end of the last whole
// part that reached it. Should cutting back fail too, the stage fails all the
// same, and the destination may then end inside a part.
class ContainerCopy {
public:
    // Without a destination the source is only judged, as a copy would judge it.
    ContainerCopy(platform::File& source, platform::File* destination, CopyBuffer& buffer, Header& header)
        : source_(source), destination_(destination), buffer_(buffer), header_(header) {}

    // Reads and checks the header, then writes it and the preamble up to dataOffset.
    // On failure the destination holds nothing (not a container) or the header alone.
    bool copyHeader();
    // Copies the chunks up to the end of the source, with the fixed-length rule, and
    // succeeds only when the source ended where it did when it was opened. On failure
    // the destination holds every whole chunk before the one that failed. Call only
    // after copyHeader succeeded.
    bool copyAudioData();

    const CopyReport& report() const { return report_; }

private:
    bool fill();
    bool write(const std::uint8_t* bytes, std::size_t size);
    bool writeWhole(const std::uint8_t* bytes, std::size_t size);
    bool copyRestOfPreamble();
    bool endOfChunks(std::size_t unfinishedSize);
    bool fail(Finding finding);
    bool cutShort(Finding finding, std::uint64_t offset, std::uint64_t expected, std::uint64_t present);

    platform::File& source_;
    platform::File* destination_;
    CopyBuffer& buffer_;
    Header& header_;
    CopyReport report_;
    // buffer_[start_, end_) is read from the source and not yet written.
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    // Where the destination's last whole part ends: also where buffer_[start_] lies
    // in the source, as the two share their layout.
    std::uint64_t whole_ = 0;
};

}  // namespace marlune::container
