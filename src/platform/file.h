// The file object: one native file, either closed or open, that closes itself.
// Reads and writes go through one buffer, so that a copy made of many small parts
// costs few calls to the system; a file is either read or written, never both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/os.h"

namespace marlune::platform {

class File {
public:
    static constexpr std::size_t defaultBufferSize = 512 * 1024;
    // Most files are small, so a buffer starts at most this large and grows to the
    // full size once the file has moved as many bytes as it holds.
    static constexpr std::size_t firstBufferSize = 64 * 1024;

    // `bufferSize` 0 sends every read and write straight to the system. The buffer
    // starts at `firstSize` when that is smaller.
    explicit File(std::size_t bufferSize = defaultBufferSize, std::size_t firstSize = firstBufferSize)
        : bufferSize_(bufferSize), firstSize_(std::min(firstSize, bufferSize)) {}
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool openForReading(Os& os, const char* path);
    // Fails, truncating nothing, when `path` names the file `source` has open.
    bool createForWriting(Os& os, const char* path, const File& source);
    bool isOpen() const { return handle_ != noHandle; }

    // Reads until `size` bytes have arrived or the file ends: the count read, or -1 on error.
    std::int64_t read(void* buffer, std::size_t size) {
        if (size == 0 || size > end_ - next_) return readMore(static_cast<std::uint8_t*>(buffer), size);
        std::memcpy(buffer, buffer_.get() + next_, size);
        next_ += size;
        return static_cast<std::int64_t>(size);
    }
    // Writes all `size` bytes, possibly later; false on an error or when the disk takes
    // fewer. After a failure the file takes no more writes until it is positioned again.
    bool write(const void* buffer, std::size_t size) {
        if (size == 0 || size > capacity_ - pending_ || writingStopped_) {
            return writeMore(static_cast<const std::uint8_t*>(buffer), size);
        }
        std::memcpy(buffer_.get() + pending_, buffer, size);
        pending_ += size;
        return true;
    }
    // Notes that the bytes written so far end a whole part. When a write fails, the file
    // is cut back to the last such mark that reached the system, so it never ends
    // inside a part. Positioning the file marks the new position.
    void markWhole() {
        if (pending_ == 0 || marks_.size() == marks_.capacity() || writingStopped_) return markWholeSlowly();
        marks_.push_back(written_ + pending_);  // within the capacity reserved: no allocation
    }
    // Room to write into in place, after what is pending: `size` is set to how much,
    // at least half the buffer (0 when writing has stopped or there is no buffer).
    // Bytes put there are written once committed; the room stays valid until the
    // next call other than commit and markWhole. The first `kept` bytes of the room
    // that the last call gave, put there and not committed, stay at its start.
    std::uint8_t* writeSpace(std::size_t& size, std::size_t kept = 0);
    void commit(std::size_t size) { pending_ += size; }
    // Hands every pending write to the system.
    bool flush();
    // Ends writing after a failure part way through a part: pending whole parts are
    // written and the file is cut back to the last mark.
    void cutBackToWhole();
    // Copies `size` bytes from `source`'s position to this file's, inside the system
    // where it can: the count copied (fewer when the source ends), or -1 on error.
    std::int64_t copyFrom(File& source, std::uint64_t size) {
        // The common case, a part that the source has read ahead and the buffer has room for.
        if (size == 0 || size > source.end_ - source.next_ || size > capacity_ - pending_ || writingStopped_) {
            return copyMore(source, size);
        }
        const auto count = static_cast<std::size_t>(size);  // fits: no more than is buffered
        std::memcpy(buffer_.get() + pending_, source.buffer_.get() + source.next_, count);
        source.next_ += count;
        pending_ += count;
        return static_cast<std::int64_t>(count);
    }

    // Flushes pending writes first.
    bool seek(std::uint64_t offset);
    bool size(std::uint64_t& bytes);
    bool sync();
    // False when `path` now names another file than this one (see Os::isSameFile).
    bool isNamedBy(const char* path);
    // Closes the file; true when it was closed cleanly (pending writes included) or was not open.
    bool close();

private:
    void allocateBuffer(std::size_t size, bool forWriting, std::size_t kept = 0);
    void growBuffer(std::uint64_t position, bool forWriting, std::size_t kept);
    std::int64_t readMore(std::uint8_t* bytes, std::size_t size);
    bool writeMore(const std::uint8_t* bytes, std::size_t size);
    void markWholeSlowly();
    std::int64_t copyMore(File& source, std::uint64_t size);
    bool flushPending();
    bool flushWholePages(std::size_t kept = 0);
    bool writeThrough(const std::uint8_t* bytes, std::size_t size);
    void cutBackAfterFailedWrite();
    std::int64_t copyInSystem(File& source, std::uint64_t size);
    std::int64_t copyThroughBuffer(File& source, std::uint64_t size);

    Os* os_ = nullptr;
    Handle handle_ = noHandle;

    std::size_t bufferSize_;
    std::size_t firstSize_;
    // Page-aligned, so that a byte's place in it matches its place in the file and
    // the system copies whole pages to and from it. Released on close.
    struct AlignedDelete {
        void operator()(std::uint8_t* bytes) const;
    };
    std::unique_ptr<std::uint8_t[], AlignedDelete> buffer_;
    std::size_t capacity_ = 0;                // the buffer's size, or 0 when it could not be allocated

    // Reading: buffer_[next_, end_) holds bytes read ahead and not yet handed out;
    // readPosition_ is the system's position.
    std::size_t next_ = 0;
    std::size_t end_ = 0;
    std::uint64_t readPosition_ = 0;

    // Writing: buffer_[0, pending_) is still to be written at offset written_, where
    // the system's position is. wholeWritten_ is the last mark at or before written_;
    // marks_ holds the marks that fall within the pending bytes, in order.
    std::size_t pending_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t wholeWritten_ = 0;
    std::vector<std::uint64_t> marks_;
    bool writingStopped_ = false;
};

}  // namespace marlune::platform
