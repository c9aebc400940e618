#include "container/copy.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "container/framing.h"

namespace marlune::container {

bool CopyBuffer::allocate(std::size_t bytesWanted) {
    bytes.reset(new (std::nothrow) std::uint8_t[bytesWanted]);
    size = bytes ? bytesWanted : 0;
    return bytes != nullptr;
}

bool CopyBuffer::allocateFor(std::uint64_t sourceSize) {
    const auto wanted = static_cast<std::size_t>(std::clamp<std::uint64_t>(sourceSize, smallestSize, preferredSize));
    return allocate(wanted) || allocate(std::min(wanted, largestChunk));
}

// Memory is never written: there is no destination, and the walk only reads.
ContainerCopy::ContainerCopy(const std::uint8_t* bytes, std::size_t size, Header& header)
    : source_(nullptr), destination_(nullptr), bytes_(const_cast<std::uint8_t*>(bytes)), capacity_(size),
      header_(header) {}

std::uint64_t ContainerCopy::sourcePosition() const {
    return source_ ? source_->position() : capacity_;
}

bool ContainerCopy::sourceSizeKnown() const {
    return !source_ || source_->sizeKnown();
}

std::uint64_t ContainerCopy::sourceSize() const {
    return source_ ? source_->sizeAtOpen() : capacity_;
}

// Of a failed write from the start, a header that reached the disk stands.
bool ContainerCopy::fail(Finding finding, std::uint64_t cutOffset, std::uint64_t expected, std::uint64_t present) {
    if (report_.finding == Finding::complete) {
        report_.finding = finding;
        report_.cutOffset = cutOffset;
        report_.expectedBytes = expected;
        report_.missingBytes = expected - present;
    }
    if (destination_) {
        if (whole_ == 0 && destination_->position() >= headerSize) whole_ = headerSize;
        const bool cutBack = destination_->position() <= whole_ || destination_->truncate(whole_);
        report_.bytesWritten = cutBack ? whole_ : destination_->position();
    }
    return false;
}

// Moves what is not yet written to the front, and reads on after it.
bool ContainerCopy::fill() {
    if (!source_) {
        // A window at a time, the next one asked of memory meanwhile: the walk reads
        // only the chunk headers, and those of chunks longer than fixed ones lie too
        // far apart for the processor to fetch them ahead by itself.
        constexpr std::size_t window = 256 * 1024;
        end_ = std::min(capacity_, end_ + window);
        const std::size_t ahead = std::min(capacity_, end_ + window);
        if (!isFixedLength(header_)) {
            for (std::size_t line = end_; line < ahead; line += 64) __builtin_prefetch(bytes_ + line);
        }
        sourceEnded_ = end_ == capacity_;
        return tellProgress();
    }
    const std::size_t unwritten = end_ - start_;
    if (start_ > 0) std::memmove(bytes_, bytes_ + start_, unwritten);
    start_ = 0;
    end_ = unwritten;
    const std::size_t wanted = capacity_ - end_;
    const std::int64_t got = source_->read(bytes_ + end_, wanted);
    if (got < 0) return fail(Finding::readFailed);
    end_ += static_cast<std::size_t>(got);
    sourceEnded_ = static_cast<std::size_t>(got) < wanted;
    return tellProgress();
}

bool ContainerCopy::tellProgress() {
    constexpr std::uint64_t interval = 1 << 20;
    const std::uint64_t done = sourcePosition();
    if (!progress_.report || (done - progressTold_ < interval && !sourceEnded_)) return true;
    progressTold_ = done;
    const std::uint64_t total = sourceSizeKnown() ? sourceSize() : 0;
    return progress_.report(done, total, progress_.context) || fail(Finding::cancelled);
}

bool ContainerCopy::write(const std::uint8_t* bytes, std::size_t size) {
    return !destination_ || destination_->write(bytes, size) || fail(Finding::writeFailed);
}

bool ContainerCopy::writeWhole(const std::uint8_t* bytes, std::size_t size) {
    if (!write(bytes, size)) return false;
    whole_ += size;
    return true;
}

bool ContainerCopy::copyHeader() {
    if (!fill()) return false;
    report_.headerBytes = std::min(end_, headerSize);
    if (report_.headerBytes != 0) std::memcpy(header_.data(), bytes_, report_.headerBytes);  // bytes_ may be null
    // A file whose first bytes rule out both magics (an empty one too) is no
    // container at all, rather than a container cut short.
    if (!mayStartContainer(bytes_, end_)) return fail(Finding::wrongMagic);
    if (end_ < headerSize) return fail(Finding::headerCut, 0, headerSize, end_);

    // The header is written even when what follows it is wrong, so that the
    // destination then holds it.
    const std::uint32_t offset = dataOffset(header_);
    if (offset < headerSize) return writeWhole(bytes_, headerSize) && fail(Finding::dataOffsetBelowHeader);
    // Where the size is known, or the source has ended in the buffer, a preamble cut
    // short fails before any of it is written.
    const std::uint64_t present = sourceSizeKnown() ? sourceSize() : sourceEnded_ ? end_ : platform::unknownSize;
    if (offset > present) {
        return writeWhole(bytes_, headerSize) &&
               fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, present - headerSize);
    }
    if (offset <= end_) {
        start_ = offset;
        return writeWhole(bytes_, offset);
    }
    // A preamble longer than the buffer: what was read of it goes with the header.
    if (!write(bytes_, end_)) return false;
    whole_ = headerSize;
    start_ = end_ = 0;
    return copyRestOfPreamble();
}

// Inside the system where it can; what that leaves goes through the buffer.
bool ContainerCopy::copyRestOfPreamble() {
    const std::uint32_t offset = dataOffset(header_);
    if (!source_) {  // in memory the chunks start there: nothing to read on the way
        start_ = end_ = offset;
        whole_ = offset;
        return true;
    }
    std::uint64_t length = offset - sourcePosition();
    if (destination_ && length >= capacity_) {
        const std::int64_t copied = destination_->copyFrom(*source_, length);
        if (copied < 0) return fail(Finding::writeFailed);
        length -= static_cast<std::uint64_t>(copied);
        if (!tellProgress()) return false;
    }
    while (length > 0) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(length, capacity_));
        const std::int64_t got = source_->read(bytes_, size);
        if (got < 0) return fail(Finding::readFailed);
        if (got < static_cast<std::int64_t>(size)) {
            if (sourceSizeKnown()) return fail(Finding::sourceChanged);
            return fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, sourcePosition() - headerSize);
        }
        if (!write(bytes_, size)) return false;
        length -= size;
    }
    whole_ = offset;
    return true;
}

bool ContainerCopy::copyAudioData() {
    const bool fixedLength = isFixedLength(header_);
    for (;;) {
        std::uint8_t* const unwritten = bytes_ + start_;
        const ChunkSpan span = walkChunks(unwritten, end_ - start_, fixedLength, destination_ != nullptr);
        if (destination_ && !destination_->write(unwritten, span.wholeBytes)) {
            // The whole chunks among what reached the disk stand.
            const auto landed = static_cast<std::size_t>(destination_->position() - whole_);
            whole_ += walkChunks(unwritten, landed, fixedLength).wholeBytes;
            return fail(Finding::writeFailed);
        }
        report_.chunks += span.chunks;
        report_.payloadBytes += span.payloadBytes;
        report_.lengthFieldsSet += span.lengthFieldsSet;
        whole_ += span.wholeBytes;
        start_ += span.wholeBytes;
        // Complete only when no chunk is left unfinished and the source is as long as
        // it was when opened: a source cut or extended meanwhile is no complete copy.
        if (sourceEnded_) {
            const std::size_t left = end_ - start_;
            if (sourceSizeKnown() && sourcePosition() != sourceSize()) return fail(Finding::sourceChanged);
            if (left == 0) {
                report_.bytesWritten = whole_;
                return true;
            }
            if (left < chunkHeaderSize) return fail(Finding::chunkHeaderCut, whole_, chunkHeaderSize, left);
            return fail(Finding::payloadCut, whole_ + chunkHeaderSize, span.unfinishedSize - chunkHeaderSize,
                        left - chunkHeaderSize);
        }
        // A chunk that fills the buffer came with a source that grew since it was opened.
        if (end_ - start_ == capacity_) return fail(Finding::sourceChanged);
        if (!fill()) return false;
    }
}

}  // namespace marlune::container
