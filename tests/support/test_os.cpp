#include "support/test_os.h"

namespace marlune::testing {

TestOs::TestOs() : native_(platform::nativeOs()), previous_(moduleState().os) {
    moduleState().os = this;
}

TestOs::~TestOs() {
    moduleState().os = previous_;
}

bool TestOs::hits(Call call, FaultKind kind) {
    const int n = ++counts_[static_cast<std::size_t>(call)];
    return fault && fault->call == call && fault->nth == n && fault->kind == kind;
}

bool TestOs::openForReading(const char* path, platform::Handle& file) {
    if (hits(Call::openForReading, FaultKind::error)) return false;
    if (!native_.openForReading(path, file)) return false;
    open_.insert(file);
    return true;
}

bool TestOs::createForWriting(const char* path, platform::Handle source, platform::Handle& file) {
    if (hits(Call::createForWriting, FaultKind::error)) return false;
    if (!native_.createForWriting(path, source, file)) return false;
    open_.insert(file);
    return true;
}

std::int64_t TestOs::read(platform::Handle file, void* buffer, std::size_t size) {
    const int n = ++counts_[static_cast<std::size_t>(Call::read)];
    if (fault && fault->call == Call::read && fault->nth == n) {
        if (fault->kind == FaultKind::error) return -1;
        if (fault->kind == FaultKind::noProgress) return 0;
        size = size > 1 ? size / 2 : size;
    }
    return native_.read(file, buffer, size);
}

std::int64_t TestOs::write(platform::Handle file, const void* buffer, std::size_t size) {
    const int n = ++counts_[static_cast<std::size_t>(Call::write)];
    if (diskFull_) return 0;
    if (fault && fault->call == Call::write && fault->nth == n) {
        if (fault->kind == FaultKind::error) return -1;
        if (fault->kind == FaultKind::noProgress) return 0;
        size = size > 1 ? size / 2 : size;
        diskFull_ = stopAfterShortWrite;
    }
    return native_.write(file, buffer, size);
}

bool TestOs::seek(platform::Handle file, std::uint64_t offset) {
    return !hits(Call::seek, FaultKind::error) && native_.seek(file, offset);
}

bool TestOs::size(platform::Handle file, std::uint64_t& bytes) {
    return !hits(Call::size, FaultKind::error) && native_.size(file, bytes);
}

bool TestOs::truncate(platform::Handle file, std::uint64_t bytes) {
    return !hits(Call::truncate, FaultKind::error) && native_.truncate(file, bytes);
}

bool TestOs::sync(platform::Handle file) {
    return !hits(Call::sync, FaultKind::error) && native_.sync(file);
}

// A failing close still releases the file, as the systems do.
bool TestOs::close(platform::Handle file) {
    const bool fail = hits(Call::close, FaultKind::error);
    open_.erase(file);
    return native_.close(file) && !fail;
}

bool TestOs::deleteFile(const char* path) {
    return !hits(Call::deleteFile, FaultKind::error) && native_.deleteFile(path);
}

std::int64_t TestOs::copyRange(platform::Handle source, platform::Handle destination, std::size_t size) {
    const int n = ++counts_[static_cast<std::size_t>(Call::copyRange)];
    if (fault && fault->call == Call::copyRange && fault->nth == n) {
        switch (fault->kind) {
        case FaultKind::error: return -1;
        case FaultKind::noProgress: return 0;
        case FaultKind::unsupported: return copyNotSupported;
        case FaultKind::shortTransfer: size = size > 1 ? size / 2 : size; break;
        }
    }
    return native_.copyRange(source, destination, size);
}

void TestOs::showMessage(const char* text) {
    messages.emplace_back(text);
    openFilesAtMessage.push_back(open_.size());
    if (onMessage) onMessage();
}

}  // namespace marlune::testing
