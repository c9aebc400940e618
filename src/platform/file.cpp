#include "platform/file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace marlune::platform {
namespace {

// Room for a mark for every part of a full buffer, parts being at least a chunk
// header long, so that marking never allocates. Were they smaller, marks would be
// skipped: a failure would then cut back further, but still to a whole part.
constexpr std::size_t bytesPerMark = 8;

// Reads and writes of a full buffer start and end at multiples of this offset in the
// file where they can, so that the system copies whole pages.
constexpr std::uint64_t pageSize = 4096;

// Largest request handed to the system's own copy, so that the count fits everywhere.
constexpr std::uint64_t maxSystemCopy = 1u << 30;

std::size_t atMost(std::uint64_t value, std::size_t limit) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(value, limit));
}

}  // namespace

File::~File() {
    close();
}

void File::AlignedDelete::operator()(std::uint8_t* bytes) const {
    ::operator delete[](bytes, std::align_val_t{pageSize});
}

// Gives the file a buffer of `size` bytes that starts with the first `kept` bytes of
// the one it had. Without the memory it keeps the one it had; without any buffer the
// file still works, one system call per transfer.
void File::allocateBuffer(std::size_t size, bool forWriting, std::size_t kept) {
    std::unique_ptr<std::uint8_t[], AlignedDelete> buffer(new (std::align_val_t{pageSize}, std::nothrow)
                                                              std::uint8_t[size]);
    if (!buffer) return;
    if (kept > 0) std::memcpy(buffer.get(), buffer_.get(), kept);
    buffer_ = std::move(buffer);
    capacity_ = size;
    if (forWriting) {
        try {
            marks_.reserve(size / bytesPerMark + 1);
        } catch (...) {
            // No room for more marks: a failure cuts back to the last mark that was written.
        }
    }
}

// A file that has moved as many bytes as its first buffer holds is likely large:
// it gets the full buffer, once `position` (the system's) says so.
void File::growBuffer(std::uint64_t position, bool forWriting, std::size_t kept) {
    if (capacity_ > 0 && capacity_ < bufferSize_ && position >= capacity_) {
        allocateBuffer(bufferSize_, forWriting, kept);
    }
}

bool File::openForReading(Os& os, const char* path) {
    close();
    os_ = &os;
    Handle opened = noHandle;
    if (!os.openForReading(path, opened)) return false;
    handle_ = opened;
    if (firstSize_ > 0) allocateBuffer(firstSize_, false);
    return true;
}

bool File::createForWriting(Os& os, const char* path, const File& source) {
    close();
    os_ = &os;
    Handle created = noHandle;
    if (!os.createForWriting(path, source.handle_, created)) return false;
    handle_ = created;
    if (firstSize_ > 0) allocateBuffer(firstSize_, true);
    return true;
}

// Hands out what was read ahead, then reads on: a request of half the buffer or more
// straight into the caller's memory, a smaller one through the buffer.
std::int64_t File::readMore(std::uint8_t* bytes, std::size_t size) {
    if (!isOpen()) return -1;
    std::size_t done = std::min(size, end_ - next_);
    if (done > 0) std::memcpy(bytes, buffer_.get() + next_, done);
    next_ += done;
    while (done < size) {
        const std::size_t wanted = size - done;
        if (wanted >= capacity_ / 2) {
            const std::int64_t got = os_->read(handle_, bytes + done, wanted);
            if (got < 0) return -1;
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
            readPosition_ += static_cast<std::uint64_t>(got);
            continue;
        }
        growBuffer(readPosition_, false, 0);  // all read ahead is handed out: nothing to keep
        const auto skew = static_cast<std::size_t>(readPosition_ % pageSize);
        const std::int64_t got = os_->read(handle_, buffer_.get(), capacity_ > pageSize ? capacity_ - skew : capacity_);
        if (got < 0) return -1;
        if (got == 0) break;
        readPosition_ += static_cast<std::uint64_t>(got);
        end_ = static_cast<std::size_t>(got);
        next_ = std::min(wanted, end_);
        std::memcpy(bytes + done, buffer_.get(), next_);
        done += next_;
    }
    return static_cast<std::int64_t>(done);
}

bool File::writeMore(const std::uint8_t* bytes, std::size_t size) {
    if (!isOpen() || writingStopped_) return false;
    if (size == 0) return true;
    if (!flushWholePages()) return false;
    if (size <= capacity_ - pending_) {
        std::memcpy(buffer_.get() + pending_, bytes, size);
        pending_ += size;
        return true;
    }
    if (!flushPending()) return false;
    if (size >= capacity_) return writeThrough(bytes, size);
    std::memcpy(buffer_.get(), bytes, size);
    pending_ = size;
    return true;
}

void File::markWholeSlowly() {
    if (writingStopped_) return;
    if (pending_ == 0) wholeWritten_ = written_;
}

std::uint8_t* File::writeSpace(std::size_t& size, std::size_t kept) {
    size = 0;
    if (!isOpen() || writingStopped_ || capacity_ == 0) return nullptr;
    if (capacity_ - pending_ < capacity_ / 2 && !flushWholePages(kept)) return nullptr;
    size = capacity_ - pending_;
    return buffer_.get() + pending_;
}

bool File::flush() {
    return isOpen() && !writingStopped_ && flushPending();
}

bool File::flushPending() {
    if (pending_ == 0) return true;
    const std::size_t size = pending_;
    pending_ = 0;
    if (!writeThrough(buffer_.get(), size)) return false;
    if (!marks_.empty()) wholeWritten_ = marks_.back();
    marks_.clear();
    return true;
}

// Makes room in a full buffer: writes the pending bytes up to the last page boundary
// (all of them when there is none, or the buffer is small) and moves the rest to
// the front, followed by the `kept` bytes that were put in after them. A first
// buffer that has filled may give way to the full one here.
bool File::flushWholePages(std::size_t kept) {
    std::size_t tail = capacity_ > pageSize ? static_cast<std::size_t>((written_ + pending_) % pageSize) : 0;
    if (tail >= pending_) tail = 0;
    const std::size_t size = pending_ - tail;
    if (size == 0) return true;
    pending_ = 0;
    if (!writeThrough(buffer_.get(), size)) return false;
    std::memmove(buffer_.get(), buffer_.get() + size, tail + kept);
    pending_ = tail;
    const auto firstPending = std::upper_bound(marks_.begin(), marks_.end(), written_);
    if (firstPending != marks_.begin()) wholeWritten_ = *(firstPending - 1);
    marks_.erase(marks_.begin(), firstPending);
    growBuffer(written_, true, tail + kept);
    return true;
}

// Writes at the system's position; on failure cuts back to whole parts.
bool File::writeThrough(const std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t put = os_->write(handle_, bytes + done, size - done);
        // A write that takes nothing means the disk is full: retrying will not help.
        if (put <= 0) {
            written_ += done;
            cutBackAfterFailedWrite();
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    written_ += size;
    return true;
}

// Part of what was being written may have reached the file: keep the whole parts
// among it, drop the rest, and take no more writes.
void File::cutBackAfterFailedWrite() {
    std::uint64_t whole = wholeWritten_;
    for (const std::uint64_t mark : marks_) {
        if (mark > written_) break;
        whole = mark;
    }
    // The write failed either way, so a failure to cut back changes nothing.
    if (written_ > whole) os_->truncate(handle_, whole);
    pending_ = 0;
    marks_.clear();
    written_ = wholeWritten_ = whole;
    writingStopped_ = true;
}

void File::cutBackToWhole() {
    if (!isOpen() || writingStopped_) return;
    const std::uint64_t lastMark = marks_.empty() ? wholeWritten_ : marks_.back();
    pending_ = lastMark > written_ ? static_cast<std::size_t>(lastMark - written_) : 0;
    if (!flushPending()) return;  // it has cut back already
    if (written_ > wholeWritten_) os_->truncate(handle_, wholeWritten_);
    written_ = wholeWritten_;
    writingStopped_ = true;
}

std::int64_t File::copyMore(File& source, std::uint64_t size) {
    if (!isOpen() || writingStopped_ || !source.isOpen()) return -1;
    // What the source read ahead comes first; then its system position is where the rest starts.
    const std::size_t ahead = atMost(size, source.end_ - source.next_);
    if (ahead > 0) {
        if (!write(source.buffer_.get() + source.next_, ahead)) return -1;
        source.next_ += ahead;
    }
    std::uint64_t done = ahead;
    // A span that would not fit the buffer anyway is left to the system; a smaller
    // one is cheaper through the buffer, where it joins what is written next.
    if (size - done >= capacity_ && size > done) {
        const std::int64_t copied = copyInSystem(source, size - done);
        if (copied < 0) return -1;
        done += static_cast<std::uint64_t>(copied);
    }
    const std::int64_t copied = copyThroughBuffer(source, size - done);
    if (copied < 0) return -1;
    return static_cast<std::int64_t>(done + static_cast<std::uint64_t>(copied));
}

// Copies until the span is done or the system stops: the count copied, or -1 on error.
// What is left, if anything, goes through the buffer.
std::int64_t File::copyInSystem(File& source, std::uint64_t size) {
    if (!flushPending()) return -1;
    std::uint64_t done = 0;
    while (done < size) {
        const std::int64_t copied = os_->copyRange(source.handle_, handle_, atMost(size - done, maxSystemCopy));
        // Not here, or nothing copied: only a read can tell whether the source ended.
        if (copied == Os::copyNotSupported || copied == 0) break;
        if (copied < 0) {
            cutBackToWhole();
            return -1;
        }
        written_ += static_cast<std::uint64_t>(copied);
        source.readPosition_ += static_cast<std::uint64_t>(copied);
        done += static_cast<std::uint64_t>(copied);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t File::copyThroughBuffer(File& source, std::uint64_t size) {
    std::uint8_t block[4096];  // for a file that has no buffer
    std::uint64_t done = 0;
    while (done < size) {
        if (capacity_ > 0 && pending_ == capacity_ && !flushWholePages()) return -1;
        std::uint8_t* into = capacity_ > 0 ? buffer_.get() + pending_ : block;
        const std::size_t room = capacity_ > 0 ? capacity_ - pending_ : sizeof block;
        const std::int64_t got = source.read(into, atMost(size - done, room));
        if (got < 0) {
            cutBackToWhole();
            return -1;
        }
        if (got == 0) break;
        const auto count = static_cast<std::size_t>(got);
        if (capacity_ > 0) {
            pending_ += count;
        } else if (!writeThrough(block, count)) {
            return -1;
        }
        done += count;
    }
    return static_cast<std::int64_t>(done);
}

bool File::seek(std::uint64_t offset) {
    if (!isOpen() || !flushPending()) return false;
    next_ = end_ = 0;
    if (!os_->seek(handle_, offset)) return false;
    readPosition_ = written_ = wholeWritten_ = offset;
    marks_.clear();
    writingStopped_ = false;
    return true;
}

bool File::size(std::uint64_t& bytes) {
    return isOpen() && flushPending() && os_->size(handle_, bytes);
}

bool File::sync() {
    return isOpen() && flushPending() && os_->sync(handle_);
}

bool File::isNamedBy(const char* path) {
    return !isOpen() || os_->isSameFile(path, handle_);
}

bool File::close() {
    if (!isOpen()) return true;
    const bool flushed = flushPending();
    const Handle handle = handle_;
    handle_ = noHandle;
    buffer_.reset();
    marks_ = {};
    capacity_ = next_ = end_ = pending_ = 0;
    readPosition_ = written_ = wholeWritten_ = 0;
    writingStopped_ = false;
    return os_->close(handle) && flushed;
}

}  // namespace marlune::platform
