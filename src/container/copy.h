// The copy of a container between two open files, in the two stages the entry
// points report on; without a destination, the examination of a file. Nothing
// is kept between calls: the caller gives the files, header buffer and memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "container/framing.h"
#include "container/layout.h"
#include "container/write_behind.h"
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

// One copy's memory, in whole pages: the source is read into it, the destination
// written from it. With a spare buffer of the same size, the destination is written
// from one on a thread of its own while the source is read into the other.
struct CopyBuffer {
    static constexpr std::size_t largestChunk = chunkHeaderSize + 0xFFFF;
    static constexpr std::size_t preferredSize = 512 * 1024;
    static constexpr std::size_t smallestSize = 4096;
    static constexpr std::size_t overlappedSize = 1024 * 1024;

    struct PageAligned {
        void operator()(std::uint8_t* bytes) const;
    };
    using Pages = std::unique_ptr<std::uint8_t[], PageAligned>;

    // What a source of `sourceSize` bytes needs, from smallestSize to preferredSize;
    // short of memory, what holds the largest chunk. False when not even that.
    bool allocateFor(std::uint64_t sourceSize);
    // Exactly `size` bytes, at least a header's. A chunk that does not fit fails the
    // copy: allocateFor's sizes hold every chunk of the source.
    bool allocate(std::size_t size);
    // Two buffers of `size` bytes, for a copy that writes on a thread of its own;
    // false (none) without the memory.
    bool allocateOverlapped(std::size_t size = overlappedSize);
    std::uint8_t* data() const { return bytes.get(); }

    Pages bytes;
    Pages spare;
    std::size_t size = 0;
};

// The source is read in whole pages, and the destination written in whole pages:
// the header and preamble go out with the chunks that follow them, and a write
// takes what is ready (walked) up to its last page boundary, keeping the rest for
// the next; the last write of a file may be short, and a small file's header and
// preamble go out alone. A write may thus end inside a
// chunk, but a failed stage cuts the destination back to the end of the last
// whole part (the header, the preamble, a chunk) that reached it, and before that
// first writes what was ready: it holds what it would have held had every part
// gone out alone. Should cutting back fail too, the stage fails all the same, and
// the destination may then end inside a part. A destination that cannot be cut
// back (a caller's writer) is given whole parts only.
//
// Given a spare buffer, the chunk stage writes on a thread of its own (a
// WriteBehind) while it reads and walks on: a write that fails there is found at
// the next buffer's turn or at the end, and the copy then goes back to what it
// was before that write and fails as it would have inline. Every other write,
// the cut-back included, is made inline, once the thread has made all it was given.
class ContainerCopy {
public:
    // Without a destination the source is only judged, as a copy would judge it.
    ContainerCopy(platform::File& source, platform::File* destination, CopyBuffer& buffer, Header& header,
                  Progress progress = {}, bool wholePartsOnly = false)
        : source_(&source),
          destination_(destination),
          bytes_(buffer.data()),
          spare_(buffer.spare.get()),
          capacity_(buffer.size),
          header_(header),
          progress_(progress),
          wholePartsOnly_(wholePartsOnly) {}
    // Judges the `size` bytes at `bytes` where they are, reading nothing and writing nothing.
    ContainerCopy(const std::uint8_t* bytes, std::size_t size, Header& header);

    // Reads and checks the header, then writes it and the preamble up to dataOffset,
    // with the chunks after it up to the next page boundary. On failure the
    // destination holds nothing (not a container), the header alone, or the whole
    // parts that reached it.
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
    std::uint8_t* at(std::uint64_t offset) const { return bytes_ + (offset - base_); }
    std::uint64_t bufferEnd() const { return base_ + end_; }
    std::size_t room() const { return capacity_ - static_cast<std::size_t>(bufferEnd() - written_); }
    bool writeHeaderAlone();
    bool copyLongPreamble(std::uint32_t offset);
    bool writeHeaderAndPreamble(std::uint32_t offset);
    // Walks the chunks from ready_ up to `limit`.
    void walk(std::uint64_t limit);
    // Writes what is ready up to its last page boundary; with `all`, or where pages
    // do not matter, all of it.
    bool writeReady(bool all);
    // Writes up to `target`, where the last whole part ends at `whole` and the part
    // that `target` falls in at `partEnd`; false when the write failed.
    bool put(std::uint64_t target, std::uint64_t whole, std::uint64_t partEnd);
    std::uint64_t wholeWithin(std::uint64_t landed) const;
    // The chunks `written` are wholly on the destination now: counted, no longer pending.
    void commit(const ChunkSpan& written);
    bool finish();
    // Starts writing on a thread of its own, where the buffer has a spare.
    void writeBehind();
    // Waits for every write given to the thread, which is then gone. False when one
    // failed: the copy is then as it was before that write.
    bool settle();
    // Records the first failure (with the piece cut short) and cuts back to whole parts.
    bool fail(Finding finding, std::uint64_t cutOffset = 0, std::uint64_t expected = 0, std::uint64_t present = 0);

    platform::File* source_;  // null: the source is the memory at bytes_
    platform::File* destination_;
    // What the source is read into (or, for memory, the source itself).
    std::uint8_t* bytes_;
    // The other buffer while writing behind: the one the thread writes from.
    std::uint8_t* spare_ = nullptr;
    std::size_t capacity_;
    Header& header_;
    Progress progress_;
    bool wholePartsOnly_ = false;
    std::uint64_t progressTold_ = 0;
    CopyReport report_;
    // The buffer holds end_ bytes of the source from offset base_ on (offsets are
    // the same in source and destination).
    std::uint64_t base_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    // Written up to written_ (without a destination: passed); ready up to ready_,
    // where the next chunk to walk starts; that chunk's full size, or 0.
    std::uint64_t written_ = 0;
    std::uint64_t ready_ = 0;
    std::size_t unfinished_ = 0;
    // Once the header stage has written its last, the destination's last whole part
    // ends at whole_, and the part that written_ falls in at partEnd_ (0 before).
    std::uint64_t whole_ = 0;
    std::uint64_t partEnd_ = 0;
    // The header stage failed in the chunks after the preamble (their write, or a
    // read or cancel for them): the chunk stage fails at once.
    bool chunksFailed_ = false;
    // The chunks walked and not yet wholly written.
    ChunkSpan pending_;
    // The last walk's chunk that holds its last page boundary ([pageChunk_,
    // pageChunkEnd_), empty when none or once written past), and the chunks pending
    // before it.
    std::uint64_t pageChunk_ = 0;
    std::uint64_t pageChunkEnd_ = 0;
    ChunkSpan beforePageChunk_;
    // Writing behind: the thread, how many writes were given it before bytes_ became
    // the buffer read into, and what each write given it found, to go back to.
    struct BeforeWrite {
        std::uint8_t* bytes = nullptr;
        std::uint64_t base = 0;
        std::uint64_t written = 0;
        std::uint64_t whole = 0;
        std::uint64_t partEnd = 0;
        std::uint64_t chunks = 0;
        std::uint64_t payloadBytes = 0;
        std::uint64_t lengthFieldsSet = 0;
    };
    std::optional<WriteBehind> behind_;
    std::uint64_t queuedBeforeBuffer_ = 0;
    BeforeWrite beforeWrites_[WriteBehind::queueSize];
};

}  // namespace marlune::container
