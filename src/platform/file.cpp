#include "platform/file.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace marlune::platform {

// Where the system learns size and state in two looks anyway (Windows, stand-ins).
bool Os::openForReadingWithState(Path path, Handle& file, FileState& state) {
    std::uint64_t size = 0;
    if (!openForReading(path, file, size)) return false;
    if (fileState(file, state)) return true;
    const int code = lastSystemError();
    close(file);
    setLastSystemError(code);
    return false;
}

bool File::failed() {
    if (error_ == 0) error_ = lastSystemError();
    return false;
}

bool File::openForReading(Os& os, Path path) {
    close();
    os_ = &os;
    error_ = 0;
    return os.openForReading(path, handle_, sizeAtOpen_) || failed();
}

bool File::openForReading(Os& os, Path path, FileState& state) {
    close();
    os_ = &os;
    error_ = 0;
    if (!os.openForReadingWithState(path, handle_, state)) return failed();
    sizeAtOpen_ = state.size;
    return true;
}

bool File::openForComparing(Os& os, Path path) {
    if (!openForReading(os, path)) return false;
    comparing_ = true;
    return true;
}

// In pieces small enough for the stack: comparing needs no memory of its own.
bool File::compare(const std::uint8_t* bytes, std::size_t size) {
    std::uint8_t stored[16 * 1024];
    while (size > 0 && !mismatch_) {
        const std::size_t piece = std::min(size, sizeof stored);
        const std::int64_t got = read(stored, piece);
        if (got < 0) return false;
        mismatch_ = static_cast<std::size_t>(got) != piece || std::memcmp(stored, bytes, piece) != 0;
        bytes += piece;
        size -= piece;
    }
    return !mismatch_;
}

bool File::createForWriting(Os& os, const char* path, const File& source) {
    close();
    os_ = &os;
    error_ = 0;
    return os.createForWriting(path, source.handle_, handle_) || failed();
}

bool File::createNew(Os& os, Path path, Access access) {
    close();
    os_ = &os;
    error_ = 0;
    return os.createNew(path, handle_, access) || failed();
}

bool File::createScratch(Os& os) {
    close();
    os_ = &os;
    error_ = 0;
    return os.createScratch(handle_) || failed();
}

bool File::rewind() {
    if (!isOpen() || !os_->rewind(handle_)) return failed();
    position_ = 0;
    return true;
}

bool File::openForAppending(Os& os, const char* path) {
    close();
    os_ = &os;
    error_ = 0;
    return os.openForAppending(path, handle_) || failed();
}

// The Os moves at most 1 GiB a call, so that a count always fits.
std::int64_t File::read(void* buffer, std::size_t size) {
    auto* const bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size && isOpen()) {
        const std::int64_t got = os_->read(handle_, bytes + done, size - done);
        if (got == 0) break;
        if (got < 0 && isInterruption(lastSystemError())) continue;
        if (got < 0) {
            failed();
            return -1;
        }
        done += static_cast<std::size_t>(got);
        position_ += static_cast<std::uint64_t>(got);
    }
    return isOpen() ? static_cast<std::int64_t>(done) : -1;
}

bool File::write(const void* buffer, std::size_t size) {
    const auto* const bytes = static_cast<const std::uint8_t*>(buffer);
    if (comparing_) return compare(bytes, size);
    std::size_t done = 0;
    while (done < size && isOpen()) {
        const std::int64_t put = os_->write(handle_, bytes + done, size - done);
        // A write that takes nothing means the disk is full: asking again will not help.
        if (put == 0) return false;
        if (put < 0 && isInterruption(lastSystemError())) continue;
        if (put < 0) return failed();
        done += static_cast<std::size_t>(put);
        position_ += static_cast<std::uint64_t>(put);
    }
    return isOpen();
}

// A file opened for comparing is never changed.
bool File::truncate(std::uint64_t size) {
    return isOpen() && (comparing_ || os_->truncate(handle_, size) || failed());
}

bool File::sync() {
    return isOpen() && (os_->sync(handle_) || failed());
}

std::int64_t File::copyFrom(File& source, std::uint64_t size) {
    if (comparing_) return 0;  // the caller copies through its buffer, and so compares
    std::uint64_t done = 0;
    while (done < size && isOpen() && source.isOpen()) {
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1u << 30));
        const std::int64_t copied = os_->copyRange(source.handle_, handle_, part);
        if (copied == Os::copyNotSupported || copied == 0) break;
        if (copied < 0 && isInterruption(lastSystemError())) continue;
        if (copied < 0) {
            failed();
            return -1;
        }
        done += static_cast<std::uint64_t>(copied);
        position_ += static_cast<std::uint64_t>(copied);
        source.position_ += static_cast<std::uint64_t>(copied);
    }
    return isOpen() && source.isOpen() ? static_cast<std::int64_t>(done) : -1;
}

bool File::isNamedBy(Path path) const {
    return !isOpen() || os_->isSameFile(path, handle_);
}

bool File::close() {
    if (!isOpen()) return true;
    const Handle handle = std::exchange(handle_, noHandle);
    sizeAtOpen_ = position_ = 0;
    comparing_ = mismatch_ = false;
    return os_->close(handle) || failed();
}

}  // namespace marlune::platform
