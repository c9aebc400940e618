// The copy of a container between two open files, in the two stages the entry
// points report on; without a destination, the examination of a file. Nothing
// is kept between calls: the caller gives the files, header buffer and memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "container/layout.h"
#include "platform/file.h"

namespace marlune::container {

enum class Finding {
    complete,
    readFailed,             // the system reported an error while reading
    writeFailed,            // the system reported an error while writing, or the disk is full
    wrongMagic,             // neither "KVRB" nor "fx30"
    headerCut,              // fewer than 82 bytes
    dataOffsetBelowHeader,  // dataOffset < 82
    dataOffsetPastEnd,      // the file ends inside the preamble
    chunkHeaderCut,         // the file ends 1 to 7 bytes into a chunk header
    payloadCut,             // the file ends inside a payload
    sourceChanged,          // the source was cut or extended while it was read
    cancelled,              // the progress hook asked to stop
};

// Told how far a copy got, about every MiB and at its end; false stops the copy.
struct Progress {
    bool (*report)(std::uint64_t done, std::uint64_t total, void* context) = nullptr;
    void* context = nullptr;
};

// What a copy saw of its source, as far as it got.
struct CopyReport {
    Finding finding = Finding::complete;
    std::size_t headerBytes = 0;  // of the header read, up to 82
    // The whole chunks, their payload bytes, and how many had chunkLength set to 330.
    std::uint64_t chunks = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t lengthFieldsSet = 0;
    // The piece cut short (header, preamble, chunk header or payload).
    std::uint64_t cutOffset = 0;
    std::uint64_t expectedBytes = 0;
    std::uint64_t missingBytes = 0;
    std::uint64_t bytesWritten = 0;  // what the destination holds of the copy
};

// One copy's memory: the source is read into it, the destination written from it.
struct CopyBuffer {
    static constexpr std::size_t largestChunk = chunkHeaderSize + 0xFFFF;
    static constexpr std::size_t preferredSize = 512 * 1024;
    static constexpr std::size_t smallestSize = 4096;

    // What a source of `sourceSize` bytes needs, from smallestSize to preferredSize;
    // short of memory, what holds the largest chunk. False when not even that.
    bool allocateFor(std::uint64_t sourceSize);
    // Exactly `size` bytes, at least a header's. A chunk that does not fit fails the
    // copy: allocateFor's sizes hold every chunk of the source.
    bool allocate(std::size_t size);
    std::uint8_t* data() const { return bytes.get(); }

    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
};

// The destination is only ever written in whole parts (the header, the preamble,
// whole chunks), so that a failed stage cuts it back to the end of the last whole
// part that reached it. Should cutting back fail too, the stage fails all the
// same, and the destination may then end inside a part.
class ContainerCopy {
public:
    // Without a destination the source is only judged, as a copy would judge it.
    ContainerCopy(platform::File& source, platform::File* destination, CopyBuffer& buffer, Header& header,
                  Progress progress = {})
        : source_(&source), destination_(destination), bytes_(buffer.data()), capacity_(buffer.size), header_(header),
          progress_(progress) {}
    // Judges the `size` bytes at `bytes` where they are, reading nothing and writing nothing.
    ContainerCopy(const std::uint8_t* bytes, std::size_t size, Header& header);

    // Reads and checks the header, then writes it and the preamble up to dataOffset.
    // On failure the destination holds nothing (not a container) or the header alone.
    bool copyHeader();
    // Copies the chunks to the end of the source, with the fixed-length rule; only
    // after copyHeader succeeded. On failure the destination holds every whole chunk
    // before the one that failed.
    bool copyAudioData();

    const CopyReport& report() const { return report_; }

private:
    bool fill();
    bool tellProgress();
    std::uint64_t sourcePosition() const;
    bool sourceSizeKnown() const;
    std::uint64_t sourceSize() const;
    bool write(const std::uint8_t* bytes, std::size_t size);
    bool writeWhole(const std::uint8_t* bytes, std::size_t size);
    bool copyRestOfPreamble();
    // Records the first failure (with the piece cut short) and cuts back to whole parts.
    bool fail(Finding finding, std::uint64_t cutOffset = 0, std::uint64_t expected = 0, std::uint64_t present = 0);

    platform::File* source_;  // null: the source is the memory at bytes_
    platform::File* destination_;
    // What the source is read into (or, for memory, the source itself).
    std::uint8_t* bytes_;
    std::size_t capacity_;
    Header& header_;
    Progress progress_;
    std::uint64_t progressTold_ = 0;
    CopyReport report_;
    // bytes_[start_, end_) is read from the source and not yet written.
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    // Where the destination's last whole part ends.
    std::uint64_t whole_ = 0;
};

}  // namespace marlune::container
