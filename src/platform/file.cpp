#include "platform/file.h"

#include <algorithm>
#include <utility>

namespace marlune::platform {

bool File::failed() {
    if (error_ == 0) error_ = lastSystemError();
    return false;
}

bool File::openForReading(Os& os, const char* path) {
    close();
    os_ = &os;
    error_ = 0;
    return os.openForReading(path, handle_, sizeAtOpen_) || failed();
}

bool File::createForWriting(Os& os, const char* path, const File& source) {
    close();
    os_ = &os;
    error_ = 0;
    return os.createForWriting(path, source.handle_, handle_) || failed();
}

bool File::createNew(Os& os, const char* path) {
    close();
    os_ = &os;
    error_ = 0;
    return os.createNew(path, handle_) || failed();
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

bool File::truncate(std::uint64_t size) {
    return isOpen() && (os_->truncate(handle_, size) || failed());
}

bool File::sync() {
    return isOpen() && (os_->sync(handle_) || failed());
}

std::int64_t File::copyFrom(File& source, std::uint64_t size) {
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

bool File::isNamedBy(const char* path) const {
    return !isOpen() || os_->isSameFile(path, handle_);
}

bool File::close() {
    if (!isOpen()) return true;
    const Handle handle = std::exchange(handle_, noHandle);
    sizeAtOpen_ = position_ = 0;
    return os_->close(handle) || failed();
}

}  // namespace marlune::platform
