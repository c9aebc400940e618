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
    const std::size_t unwritten = end_ - start_;
    if (start_ > 0) std::memmove(buffer_.data(), buffer_.data() + start_, unwritten);
    start_ = 0;
    end_ = unwritten;
    const std::size_t wanted = buffer_.size - end_;
    const std::int64_t got = source_.read(buffer_.data() + end_, wanted);
    if (got < 0) return fail(Finding::readFailed);
    end_ += static_cast<std::size_t>(got);
    sourceEnded_ = static_cast<std::size_t>(got) < wanted;
    return tellProgress();
}

bool ContainerCopy::tellProgress() {
    constexpr std::uint64_t interval = 1 << 20;
    const std::uint64_t done = source_.position();
    if (!progress_.report || (done - progressTold_ < interval && !sourceEnded_)) return true;
    progressTold_ = done;
    const std::uint64_t total = source_.sizeKnown() ? source_.sizeAtOpen() : 0;
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
    std::memcpy(header_.data(), buffer_.data(), report_.headerBytes);
    // A file whose first bytes rule out both magics (an empty one too) is no
    // container at all, rather than a container cut short.
    if (!mayStartContainer(buffer_.data(), end_)) return fail(Finding::wrongMagic);
    if (end_ < headerSize) return fail(Finding::headerCut, 0, headerSize, end_);

    // The header is written even when what follows it is wrong, so that the
    // destination then holds it.
    const std::uint32_t offset = dataOffset(header_);
    if (offset < headerSize) return writeWhole(buffer_.data(), headerSize) && fail(Finding::dataOffsetBelowHeader);
    // Where the size is known, or the source has ended in the buffer, a preamble cut
    // short fails before any of it is written.
    const std::uint64_t present = source_.sizeKnown() ? source_.sizeAtOpen() : sourceEnded_ ? end_ : platform::unknownSize;
    if (offset > present) {
        return writeWhole(buffer_.data(), headerSize) &&
               fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, present - headerSize);
    }
    if (offset <= end_) {
        start_ = offset;
        return writeWhole(buffer_.data(), offset);
    }
    // A preamble longer than the buffer: what was read of it goes with the header.
    if (!write(buffer_.data(), end_)) return false;
    whole_ = headerSize;
    start_ = end_ = 0;
    return copyRestOfPreamble();
}

// Inside the system where it can; what that leaves goes through the buffer.
bool ContainerCopy::copyRestOfPreamble() {
    const std::uint32_t offset = dataOffset(header_);
    std::uint64_t length = offset - source_.position();
    if (destination_ && length >= buffer_.size) {
        const std::int64_t copied = destination_->copyFrom(source_, length);
        if (copied < 0) return fail(Finding::writeFailed);
        length -= static_cast<std::uint64_t>(copied);
        if (!tellProgress()) return false;
    }
    while (length > 0) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size));
        const std::int64_t got = source_.read(buffer_.data(), size);
        if (got < 0) return fail(Finding::readFailed);
        if (got < static_cast<std::int64_t>(size)) {
            if (source_.sizeKnown()) return fail(Finding::sourceChanged);
            return fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, source_.position() - headerSize);
        }
        if (!write(buffer_.data(), size)) return false;
        length -= size;
    }
    whole_ = offset;
    return true;
}

bool ContainerCopy::copyAudioData() {
    const bool fixedLength = isFixedLength(header_);
    for (;;) {
        std::uint8_t* const unwritten = buffer_.data() + start_;
        const ChunkSpan span = walkChunks(unwritten, end_ - start_, fixedLength);
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
            if (source_.sizeKnown() && source_.position() != source_.sizeAtOpen()) return fail(Finding::sourceChanged);
            if (left == 0) {
                report_.bytesWritten = whole_;
                return true;
            }
            if (left < chunkHeaderSize) return fail(Finding::chunkHeaderCut, whole_, chunkHeaderSize, left);
            return fail(Finding::payloadCut, whole_ + chunkHeaderSize, span.unfinishedSize - chunkHeaderSize,
                        left - chunkHeaderSize);
        }
        // A chunk that fills the buffer came with a source that grew since it was opened.
        if (end_ - start_ == buffer_.size) return fail(Finding::sourceChanged);
        if (!fill()) return false;
    }
}

}  // namespace marlune::container
