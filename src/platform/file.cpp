#include "platform/file.h"

namespace marlune::platform {

File::~File() {
    close();
}

bool File::openForReading(Os& os, const char* path) {
    close();
    os_ = &os;
    Handle opened = noHandle;
    if (!os.openForReading(path, opened)) return false;
    handle_ = opened;
    return true;
}

bool File::createForWriting(Os& os, const char* path, const File& source) {
    close();
    os_ = &os;
    Handle created = noHandle;
    if (!os.createForWriting(path, source.handle_, created)) return false;
    handle_ = created;
    return true;
}

std::int64_t File::read(void* buffer, std::size_t size) {
    if (!isOpen()) return -1;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t got = os_->read(handle_, bytes + done, size - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

bool File::write(const void* buffer, std::size_t size) {
    if (!isOpen()) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t put = os_->write(handle_, bytes + done, size - done);
        // A write that takes nothing means the disk is full: retrying will not help.
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool File::seek(std::uint64_t offset) {
    return isOpen() && os_->seek(handle_, offset);
}

bool File::size(std::uint64_t& bytes) {
    return isOpen() && os_->size(handle_, bytes);
}

bool File::truncate(std::uint64_t bytes) {
    return isOpen() && os_->truncate(handle_, bytes);
}

bool File::sync() {
    return isOpen() && os_->sync(handle_);
}

bool File::isNamedBy(const char* path) {
    return !isOpen() || os_->isSameFile(path, handle_);
}

bool File::close() {
    if (!isOpen()) return true;
    const Handle handle = handle_;
    handle_ = noHandle;
    return os_->close(handle);
}

}  // namespace marlune::platform
