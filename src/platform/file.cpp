#include "platform/file.h"

#include <algorithm>

namespace marlune::platform {
namespace {

// Largest request handed to the system at once, so that the count fits everywhere.
constexpr std::uint64_t maxTransfer = 1u << 30;

std::size_t atMost(std::uint64_t value, std::uint64_t limit) {
    return static_cast<std::size_t>(std::min(value, limit));
}

}  // namespace

bool File::failed() {
    if (error_ == 0) error_ = lastSystemError();
    return false;
}

bool File::openForReading(Os& os, const char* path) {
    close();
    os_ = &os;
    error_ = 0;
    Handle opened = noHandle;
    std::uint64_t size = 0;
    if (!os.openForReading(path, opened, size)) return failed();
    handle_ = opened;
    sizeAtOpen_ = size;
    return true;
}

bool File::createForWriting(Os& os, const char* path, const File& source) {
    close();
    os_ = &os;
    error_ = 0;
    Handle created = noHandle;
    if (!os.createForWriting(path, source.handle_, created)) return failed();
    handle_ = created;
    return true;
}

std::int64_t File::read(void* buffer, std::size_t size) {
    if (!isOpen()) return -1;
    auto* const bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t got = os_->read(handle_, bytes + done, atMost(size - done, maxTransfer));
        if (got < 0 && isInterruption(lastSystemError())) continue;
        if (got < 0) {
            failed();
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
        position_ += static_cast<std::uint64_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

bool File::write(const void* buffer, std::size_t size) {
    if (!isOpen()) return false;
    const auto* const bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t put = os_->write(handle_, bytes + done, atMost(size - done, maxTransfer));
        if (put < 0 && isInterruption(lastSystemError())) continue;
        if (put < 0) return failed();
        // A write that takes nothing means the disk is full: asking again will not help.
        if (put == 0) return false;
        done += static_cast<std::size_t>(put);
        position_ += static_cast<std::uint64_t>(put);
    }
    return true;
}

bool File::seek(std::uint64_t offset) {
    if (!isOpen()) return false;
    if (offset == position_) return true;
    if (!os_->seek(handle_, offset)) return failed();
    position_ = offset;
    return true;
}

bool File::truncate(std::uint64_t size) {
    return isOpen() && (os_->truncate(handle_, size) || failed());
}

bool File::sync() {
    return isOpen() && (os_->sync(handle_) || failed());
}

std::int64_t File::copyFrom(File& source, std::uint64_t size) {
    if (!isOpen() || !source.isOpen()) return -1;
    std::uint64_t done = 0;
    while (done < size) {
        const std::int64_t copied = os_->copyRange(source.handle_, handle_, atMost(size - done, maxTransfer));
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
    return static_cast<std::int64_t>(done);
}

bool File::isNamedBy(const char* path) const {
    return !isOpen() || os_->isSameFile(path, handle_);
}

bool File::close() {
    if (!isOpen()) return true;
    const Handle handle = handle_;
    handle_ = noHandle;
    sizeAtOpen_ = position_ = 0;
    return os_->close(handle) || failed();
}

}  // namespace marlune::platform
