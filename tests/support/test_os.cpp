#include "support/test_os.h"

namespace marlune::testing {

TestOs::TestOs() : native_(platform::nativeOs()), previous_(moduleState().os) {
    moduleState().os = this;
}

TestOs::~TestOs() {
    moduleState().os = previous_;
}

const Fault* TestOs::count(Call call) {
    const int n = ++counts_[static_cast<std::size_t>(call)];
    if (onCall) onCall(call, n);
    for (const std::optional<Fault>* candidate : {&fault, &secondFault}) {
        if (*candidate && (*candidate)->call == call && (*candidate)->nth == n) return &**candidate;
    }
    return nullptr;
}

bool TestOs::hits(Call call, FaultKind kind) {
    const Fault* chosen = count(call);
    if (!chosen || chosen->kind != kind) return false;
    faulted = true;
    return true;
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
    if (const Fault* chosen = count(Call::read)) {
        faulted = true;
        if (chosen->kind == FaultKind::error) return -1;
        if (chosen->kind == FaultKind::noProgress) return 0;
        size = size > 1 ? size / 2 : size;
    }
    return native_.read(file, buffer, size);
}

std::int64_t TestOs::write(platform::Handle file, const void* buffer, std::size_t size) {
    const Fault* chosen = count(Call::write);
    if (diskFull_) return 0;
    if (chosen) {
        faulted = true;
        if (chosen->kind == FaultKind::error) return -1;
        if (chosen->kind == FaultKind::noProgress) return 0;
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

bool TestOs::isSameFile(const char* path, platform::Handle file) {
    return !hits(Call::isSameFile, FaultKind::error) && native_.isSameFile(path, file);
}

std::int64_t TestOs::copyRange(platform::Handle source, platform::Handle destination, std::size_t size) {
    if (const Fault* chosen = count(Call::copyRange)) {
        faulted = true;
        switch (chosen->kind) {
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
