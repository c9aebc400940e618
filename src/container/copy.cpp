#include "container/copy.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "container/framing.h"

namespace marlune::container {

void CopyBuffer::PageAligned::operator()(std::uint8_t* bytes) const {
    operator delete[](bytes, std::align_val_t{pageSize});
}

bool CopyBuffer::allocate(std::size_t bytesWanted) {
    spare.reset();
    bytes.reset(new (std::align_val_t{pageSize}, std::nothrow) std::uint8_t[bytesWanted]);
    size = bytes ? bytesWanted : 0;
    return bytes != nullptr;
}

bool CopyBuffer::allocateOverlapped(std::size_t bytesWanted) {
    if (!allocate(bytesWanted)) return false;
    spare.reset(new (std::align_val_t{pageSize}, std::nothrow) std::uint8_t[size]);
    if (spare) return true;
    bytes.reset();
    size = 0;
    return false;
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

namespace {

std::uint64_t pageStart(std::uint64_t offset) {
    return offset & ~std::uint64_t{pageSize - 1};
}

// The chunks, payload bytes and length fields of `span`, added to `counts`.
template <typename Counts>
void add(Counts& counts, const ChunkSpan& span) {
    counts.chunks += span.chunks;
    counts.payloadBytes += span.payloadBytes;
    counts.lengthFieldsSet += span.lengthFieldsSet;
}

}  // namespace

// What was ready goes out first: the destination then holds every whole part
// before the failure, as it would had each gone out alone.
bool ContainerCopy::fail(Finding finding, std::uint64_t cutOffset, std::uint64_t expected, std::uint64_t present) {
    // A write the thread failed came before whatever failed here.
    if (behind_ && !settle()) {
        finding = Finding::writeFailed;
        cutOffset = expected = present = 0;
    }
    if (report_.finding == Finding::complete) {
        report_.finding = finding;
        report_.cutOffset = cutOffset;
        report_.expectedBytes = expected;
        report_.missingBytes = expected - present;
    }
    if (destination_) {
        if (finding != Finding::writeFailed && ready_ > written_ && put(ready_, ready_, ready_)) commit(pending_);
        whole_ = wholeWithin(destination_->position());
        const bool cutBack = destination_->position() <= whole_ || destination_->truncate(whole_);
        report_.bytesWritten = cutBack ? whole_ : destination_->position();
    }
    return false;
}

// Where the last whole part ends among the destination's first `landed` bytes,
// all of them written since whole_ or from the buffer.
std::uint64_t ContainerCopy::wholeWithin(std::uint64_t landed) const {
    const std::uint64_t offset = dataOffset(header_);
    if (landed < headerSize) return 0;
    if (landed < offset) return headerSize;
    const std::uint64_t from = std::max(partEnd_, offset);
    if (landed < from) return whole_;
    const auto size = static_cast<std::size_t>(landed - from);
    return from + walkChunks(at(from), size, isFixedLength(header_), false).wholeBytes;
}

// Moves what is not yet written to the front, and reads on after it: whole pages,
// unless the read may reach the source's end.
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
    const auto done = static_cast<std::size_t>(written_ - base_);
    if (behind_) {
        // The thread may still write from this buffer: what is left of it goes to
        // the other one, once the writes from that one are made.
        if (!behind_->waitFor(queuedBeforeBuffer_)) return fail(Finding::writeFailed);
        std::memcpy(spare_, bytes_ + done, end_ - done);
        std::swap(bytes_, spare_);
        queuedBeforeBuffer_ = behind_->queued();
    } else if (done > 0) {
        std::memmove(bytes_, bytes_ + done, end_ - done);
    }
    base_ = written_;
    end_ -= done;
    const std::uint64_t position = bufferEnd();
    std::size_t wanted = capacity_ - end_;
    if (!sourceSizeKnown() || sourceSize() > position + wanted) {
        const std::uint64_t pages = pageStart(position + wanted);
        if (pages > position) wanted = static_cast<std::size_t>(pages - position);
    }
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

bool ContainerCopy::put(std::uint64_t target, std::uint64_t whole, std::uint64_t partEnd) {
    const auto size = static_cast<std::size_t>(target - written_);
    if (behind_) {
        const BeforeWrite before{bytes_, base_, written_, whole_, partEnd_,
                                 report_.chunks, report_.payloadBytes, report_.lengthFieldsSet};
        beforeWrites_[behind_->write(at(written_), size) % WriteBehind::queueSize] = before;
    } else if (destination_ && !destination_->write(at(written_), size)) {
        return false;
    }
    written_ = target;
    whole_ = whole;
    partEnd_ = partEnd;
    return true;
}

void ContainerCopy::walk(std::uint64_t limit) {
    ChunkSpan beforePage;
    beforePage.wholeBytes = SIZE_MAX;  // no whole chunk holds a page boundary
    const bool pagesMatter = destination_ && !wholePartsOnly_;
    const ChunkSpan span = walkChunks(at(ready_), static_cast<std::size_t>(limit - ready_), isFixedLength(header_),
                                      destination_ != nullptr, pagesMatter ? &beforePage : nullptr, ready_);
    pageChunk_ = pageChunkEnd_ = 0;
    if (beforePage.wholeBytes != SIZE_MAX) {
        pageChunk_ = ready_ + beforePage.wholeBytes;
        pageChunkEnd_ = pageChunk_ + chunkHeaderSize + effectivePayloadLength(isFixedLength(header_), at(pageChunk_));
        beforePageChunk_ = pending_;
        add(beforePageChunk_, beforePage);
    }
    add(pending_, span);
    ready_ += span.wholeBytes;
    unfinished_ = span.unfinishedSize;
}

bool ContainerCopy::writeReady(bool all) {
    std::uint64_t target = ready_;
    if (!all && destination_ && !wholePartsOnly_) {
        // Up to the last page boundary, inside the chunk that holds it.
        const std::uint64_t page = pageStart(ready_);
        if (page <= written_) return true;
        if (pageChunk_ <= page && page < pageChunkEnd_) target = page;
    }
    if (target == written_) return true;
    if (target == ready_) {
        if (!put(ready_, ready_, ready_)) return fail(Finding::writeFailed);
        commit(pending_);
        return true;
    }
    if (!put(target, pageChunk_, pageChunkEnd_)) return fail(Finding::writeFailed);
    commit(beforePageChunk_);
    pageChunk_ = pageChunkEnd_ = 0;
    return true;
}

void ContainerCopy::commit(const ChunkSpan& written) {
    const ChunkSpan counts = written;  // may be one of those it is taken from
    add(report_, counts);
    const auto take = [&counts](ChunkSpan& from) {
        from.chunks -= counts.chunks;
        from.payloadBytes -= counts.payloadBytes;
        from.lengthFieldsSet -= counts.lengthFieldsSet;
    };
    take(pending_);
    if (pageChunkEnd_ != 0) take(beforePageChunk_);
}

bool ContainerCopy::writeHeaderAlone() {
    if (!put(headerSize, headerSize, headerSize)) return fail(Finding::writeFailed);
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
    if (offset < headerSize) return writeHeaderAlone() && fail(Finding::dataOffsetBelowHeader);
    // Where the size is known, or the source has ended in the buffer, a preamble cut
    // short fails before any of it is written.
    const std::uint64_t present = sourceSizeKnown() ? sourceSize() : sourceEnded_ ? end_ : platform::unknownSize;
    if (offset > present) {
        return writeHeaderAlone() &&
               fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, present - headerSize);
    }
    if (offset > bufferEnd() && !copyLongPreamble(offset)) return false;
    return writeHeaderAndPreamble(offset);
}

// The header and preamble go out with the chunks after them up to the next page
// boundary, where every later write then starts; short of it (a small source),
// alone. A failure in this write, or in the reads for it, is the header stage's
// only while the header and preamble have not all landed: past them, it is the
// chunks that failed.
bool ContainerCopy::writeHeaderAndPreamble(std::uint32_t offset) {
    const std::uint64_t page = pageStart(offset + std::uint64_t{pageSize - 1});
    ready_ = offset;
    walk(std::min(page, bufferEnd()));
    // Until the chunk that holds that boundary is whole in the buffer, the
    // preamble's whole pages go out and the source is read on.
    const auto holdsPageChunk = [this, page] {
        const std::uint64_t left = bufferEnd() - ready_;
        return ready_ == page || (left >= chunkHeaderSize &&
                                  chunkHeaderSize + effectivePayloadLength(isFixedLength(header_), at(ready_)) <= left);
    };
    while (destination_ && !wholePartsOnly_ && !sourceEnded_ && !holdsPageChunk()) {
        const std::uint64_t pages = pageStart(offset);
        if (pages > written_ && !put(pages, 0, 0)) return fail(Finding::writeFailed);
        if (room() == 0) break;
        // The header and preamble are all read: a failed read or a cancel here is
        // the chunks' failure, once what was ready (those among it) has landed.
        if (!fill()) {
            if (whole_ < offset) return false;
            chunksFailed_ = true;
            return true;
        }
        walk(std::min(page, bufferEnd()));
    }
    const ChunkSpan beforePage = pending_;
    const std::uint64_t pageChunk = ready_;
    walk(bufferEnd());
    if (!destination_ || wholePartsOnly_ || ready_ < page) {
        if (!put(offset, offset, offset)) return fail(Finding::writeFailed);
        return true;
    }
    const std::uint64_t pageChunkEnd =
        pageChunk == page ? page
                          : pageChunk + chunkHeaderSize + effectivePayloadLength(isFixedLength(header_), at(pageChunk));
    if (!put(page, pageChunk, pageChunkEnd)) {
        if (destination_->position() < offset) return fail(Finding::writeFailed);
        chunksFailed_ = true;
        return true;
    }
    commit(beforePage);
    return true;
}

// A preamble longer than the buffer: the buffer goes out as it was read, the
// system copies what it can of the rest up to the page where the chunks start,
// and what that leaves goes through the buffer.
bool ContainerCopy::copyLongPreamble(std::uint32_t offset) {
    if (!source_) {  // in memory the chunks start there: nothing to read on the way
        end_ = offset;
        written_ = offset;
        return true;
    }
    if (!put(bufferEnd(), 0, 0)) return fail(Finding::writeFailed);
    const std::uint64_t pages = pageStart(offset);
    if (destination_ && pages > written_ && pages - written_ >= capacity_) {
        const std::int64_t copied = destination_->copyFrom(*source_, pages - written_);
        if (copied < 0) return fail(Finding::writeFailed);
        written_ += static_cast<std::uint64_t>(copied);
        base_ = written_;
        end_ = 0;
        if (!tellProgress()) return false;
    }
    for (;;) {
        if (!fill()) return false;
        if (bufferEnd() >= offset) return true;
        if (sourceEnded_) {
            if (sourceSizeKnown()) return fail(Finding::sourceChanged);
            return fail(Finding::dataOffsetPastEnd, headerSize, offset - headerSize, bufferEnd() - headerSize);
        }
        if (!put(bufferEnd(), 0, 0)) return fail(Finding::writeFailed);
    }
}

void ContainerCopy::writeBehind() {
    if (!spare_ || !source_ || !destination_) return;
    try {
        behind_.emplace(*destination_);
    } catch (const std::system_error&) {  // no thread to be had: the copy writes inline
        return;
    }
    if (!behind_->running()) behind_.reset();
    queuedBeforeBuffer_ = 0;
}

bool ContainerCopy::settle() {
    const bool made = behind_->waitFor(behind_->queued());
    const std::uint64_t failed = behind_->failedWrite();
    behind_.reset();
    if (made) return true;
    // The writes after the one that failed were passed over: the copy goes back to
    // where that write began, its bytes still in the buffer they were written from.
    const BeforeWrite& before = beforeWrites_[failed % WriteBehind::queueSize];
    bytes_ = before.bytes;
    base_ = before.base;
    written_ = before.written;
    whole_ = before.whole;
    partEnd_ = before.partEnd;
    report_.chunks = before.chunks;
    report_.payloadBytes = before.payloadBytes;
    report_.lengthFieldsSet = before.lengthFieldsSet;
    return false;
}

// The source has ended: what is ready goes out, and the rest is judged.
bool ContainerCopy::finish() {
    if (behind_ && !settle()) return fail(Finding::writeFailed);
    if (!writeReady(true)) return false;
    const auto left = static_cast<std::size_t>(bufferEnd() - ready_);
    // Complete only when no chunk is left unfinished and the source is as long as
    // it was when opened: a source cut or extended meanwhile is no complete copy.
    if (sourceSizeKnown() && sourcePosition() != sourceSize()) return fail(Finding::sourceChanged);
    if (left == 0) {
        report_.bytesWritten = whole_;
        return true;
    }
    if (left < chunkHeaderSize) return fail(Finding::chunkHeaderCut, ready_, chunkHeaderSize, left);
    return fail(Finding::payloadCut, ready_ + chunkHeaderSize, unfinished_ - chunkHeaderSize, left - chunkHeaderSize);
}

bool ContainerCopy::copyAudioData() {
    if (chunksFailed_) return fail(Finding::writeFailed);
    writeBehind();
    for (;;) {
        if (sourceEnded_) return finish();
        // What the buffer holds up to the source's end goes out in one last write,
        // once a read has found the end.
        const bool holdsEnd = sourceSizeKnown() && bufferEnd() >= sourceSize();
        if (!holdsEnd && !writeReady(false)) return false;
        // A chunk that fills the buffer came with a source that grew since it was opened.
        if (room() == 0 && !writeReady(true)) return false;
        if (room() == 0) return fail(Finding::sourceChanged);
        if (!fill()) return false;
        walk(bufferEnd());
    }
}

}  // namespace marlune::container
