#include "support/test_os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace marlune::testing {

#ifdef _WIN32
const int ErrorCodes::io = ERROR_IO_DEVICE;
const int ErrorCodes::diskFull = ERROR_DISK_FULL;
const int ErrorCodes::interrupted = 0;
const int ErrorCodes::exists = ERROR_ALREADY_EXISTS;
#else
const int ErrorCodes::io = EIO;
const int ErrorCodes::diskFull = ENOSPC;
const int ErrorCodes::interrupted = EINTR;
const int ErrorCodes::exists = EEXIST;
#endif

thread_local int TestOs::recording = 0;

namespace {

struct Recording {
    Recording() { ++TestOs::recording; }
    ~Recording() { --TestOs::recording; }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
};

}  // namespace

TestOs::TestOs() : native_(platform::nativeOs()), previous_(moduleState().os) {
    moduleState().os = this;
}

TestOs::~TestOs() {
    moduleState().os = previous_;
}

const Fault* TestOs::count(Call call) {
    const int n = ++counts_[static_cast<std::size_t>(call)];
    if (onCall) onCall(call, n);
    const Fault* chosen = dead_ ? &*dead_ : nullptr;
    for (const std::optional<Fault>* candidate : {&fault, &secondFault}) {
        if (*candidate && (*candidate)->call == call && (*candidate)->nth == n) chosen = &**candidate;
    }
    if (!chosen) return nullptr;
    // Only transfers can be short, make no progress or be unsupported.
    const bool transfer = call == Call::read || call == Call::write || call == Call::copyRange;
    if (chosen->kind != FaultKind::error && !chosen->persistent && !transfer) return nullptr;
    faulted = true;
    if (chosen->persistent && !dead_) dead_ = Fault{*chosen};
    platform::setLastSystemError(chosen->code);
    return chosen;
}

bool TestOs::fails(Call call) {
    return count(call) != nullptr;
}

bool TestOs::openForReading(platform::Path path, platform::Handle& file, std::uint64_t& size) {
    if (fails(Call::openForReading)) return false;
    if (!native_.openForReading(path, file, size)) return false;
    const Recording bookkeeping;
    open_.insert(file);
    return true;
}

bool TestOs::openForReadingWithState(platform::Path path, platform::Handle& file, platform::FileState& state) {
    if (fails(Call::openForReading)) return false;
    if (!native_.openForReadingWithState(path, file, state)) return false;
    const Recording bookkeeping;
    open_.insert(file);
    return true;
}

bool TestOs::createForWriting(const char* path, platform::Handle source, platform::Handle& file) {
    if (fails(Call::createForWriting)) return false;
    if (!native_.createForWriting(path, source, file)) return false;
    const Recording bookkeeping;
    open_.insert(file);
    return true;
}

std::int64_t TestOs::read(platform::Handle file, void* buffer, std::size_t size) {
    const std::lock_guard<std::recursive_mutex> turn(transfers_);
    if (const Fault* chosen = count(Call::read)) {
        if (chosen->kind == FaultKind::error || chosen->persistent) return -1;
        if (chosen->kind == FaultKind::noProgress) return 0;
        size = size > 1 ? size / 2 : size;
    }
    return native_.read(file, buffer, size);
}

std::int64_t TestOs::write(platform::Handle file, const void* buffer, std::size_t size) {
    const std::lock_guard<std::recursive_mutex> turn(transfers_);
    const Fault* chosen = count(Call::write);
    if (diskFull_) return 0;
    if (chosen) {
        if (chosen->kind == FaultKind::error || chosen->persistent) return -1;
        if (chosen->kind == FaultKind::noProgress) return 0;
        size = size > 1 ? size / 2 : size;
        diskFull_ = stopAfterShortWrite;
    }
    return native_.write(file, buffer, size);
}

bool TestOs::truncate(platform::Handle file, std::uint64_t bytes) {
    return !fails(Call::truncate) && native_.truncate(file, bytes);
}

bool TestOs::sync(platform::Handle file) {
    return !fails(Call::sync) && native_.sync(file);
}

// A failing close still releases the file, as the systems do.
bool TestOs::close(platform::Handle file) {
    const bool fail = fails(Call::close);
    const int code = platform::lastSystemError();
    open_.erase(file);
    const bool closed = native_.close(file);
    if (fail) platform::setLastSystemError(code);
    return closed && !fail;
}

bool TestOs::deleteFile(platform::Path path) {
    return !fails(Call::deleteFile) && native_.deleteFile(path);
}

bool TestOs::isSameFile(platform::Path path, platform::Handle file) {
    return !fails(Call::isSameFile) && native_.isSameFile(path, file);
}

std::int64_t TestOs::copyRange(platform::Handle source, platform::Handle destination, std::size_t size) {
    if (const Fault* chosen = count(Call::copyRange)) {
        if (chosen->persistent) return -1;
        switch (chosen->kind) {
            case FaultKind::error:
                return -1;
            case FaultKind::noProgress:
                return 0;
            case FaultKind::unsupported:
                return copyNotSupported;
            case FaultKind::shortTransfer:
                size = size > 1 ? size / 2 : size;
                break;
        }
    }
    return native_.copyRange(source, destination, size);
}

bool TestOs::createNew(platform::Path path, platform::Handle& file, platform::Access access) {
    if (fails(Call::createNew) || !native_.createNew(path, file, access)) return false;
    const Recording bookkeeping;
    open_.insert(file);
    return true;
}

platform::Os::Name TestOs::inspect(platform::Path path, platform::Handle source) {
    return fails(Call::inspect) ? Name::other : native_.inspect(path, source);
}

bool TestOs::syncTogether(const platform::Handle* files, std::size_t count) {
    return !fails(Call::syncTogether) && native_.syncTogether(files, count);
}

bool TestOs::markInUse(platform::Handle file) {
    return !fails(Call::markInUse) && native_.markInUse(file);
}

platform::Os::Removal TestOs::removeIfUnused(const char* path) {
    return fails(Call::removeIfUnused) ? Removal::failed : native_.removeIfUnused(path);
}

bool TestOs::mayWrite(platform::Path path) {
    return !fails(Call::mayWrite) && native_.mayWrite(path);
}

bool TestOs::copyPermissions(platform::Path path, platform::Handle file) {
    return !fails(Call::copyPermissions) && native_.copyPermissions(path, file);
}

bool TestOs::move(platform::Handle file, platform::Path from, platform::Path to, bool replace) {
    return !fails(Call::move) && native_.move(file, from, to, replace);
}

bool TestOs::syncFolderOf(platform::Path path) {
    return !fails(Call::syncFolder) && native_.syncFolderOf(path);
}

// A folder is an open file too: it counts against the process's limit.
bool TestOs::openFolder(const char* path, platform::Handle& folder) {
    if (fails(Call::openFolder) || !native_.openFolder(path, folder)) return false;
    const Recording bookkeeping;
    open_.insert(folder);
    return true;
}

bool TestOs::fileState(platform::Handle file, platform::FileState& state) {
    return !fails(Call::fileState) && native_.fileState(file, state);
}

bool TestOs::rewind(platform::Handle file) {
    return !fails(Call::rewind) && native_.rewind(file);
}

platform::Os::Deletion TestOs::deleteUnchanged(platform::Path path, const platform::FileState& expected) {
    return fails(Call::deleteUnchanged) ? Deletion::failed : native_.deleteUnchanged(path, expected);
}

void TestOs::showMessage(const char* text) {
    {
        const Recording bookkeeping;
        messages.emplace_back(text);
        openFilesAtMessage.push_back(open_.size());
    }
    if (onMessage) onMessage();
}

bool TestOs::folderCallFails(int& error) {
    if (++folderCalls_ != failedFolderCall) return false;
    faulted = true;
    error = ErrorCodes::io;
    platform::setLastSystemError(error);
    return true;
}

bool TestOs::listFolder(const std::string& path, std::vector<platform::FolderEntry>& entries, int& error) {
    return !folderCallFails(error) && native_.listFolder(path, entries, error);
}

bool TestOs::namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                             int& error) {
    return !folderCallFails(error) && native_.namesEndingWith(folder, ending, names, error);
}

platform::Kind TestOs::kindOf(const std::string& path, std::uint64_t& size, platform::FileKey& key) {
    int error = 0;
    return folderCallFails(error) ? platform::Kind::missing : native_.kindOf(path, size, key);
}

platform::Kind TestOs::kindOfName(const std::string& path) {
    int error = 0;
    return folderCallFails(error) ? platform::Kind::missing : native_.kindOfName(path);
}

bool TestOs::letOwnerWrite(const std::string& path, int& error) {
    return !folderCallFails(error) && native_.letOwnerWrite(path, error);
}

bool TestOs::createFolder(const std::string& path, int& error) {
    return !folderCallFails(error) && native_.createFolder(path, error);
}

bool TestOs::syncFolder(const std::string& path, int& error) {
    return !folderCallFails(error) && native_.syncFolder(path, error);
}

std::string TestOs::resolvedPath(const std::string& path) {
    int error = 0;
    return folderCallFails(error) ? std::string() : native_.resolvedPath(path);
}

std::string TestOs::linkTarget(const std::string& path) {
    int error = 0;
    return folderCallFails(error) ? std::string() : native_.linkTarget(path);
}

bool TestOs::regularFileAttributes(const std::string& path, platform::FileAttributes& attributes) {
    int error = 0;
    return !folderCallFails(error) && native_.regularFileAttributes(path, attributes);
}

bool TestOs::keepTimesAndMode(platform::Handle from, platform::Handle to, int& error) {
    return !folderCallFails(error) && native_.keepTimesAndMode(from, to, error);
}

bool TestOs::keepSeenTimesAndMode(platform::Handle from, const platform::FileState& seen, platform::Handle to,
                                  int& error) {
    return !folderCallFails(error) && native_.keepSeenTimesAndMode(from, seen, to, error);
}

bool TestOs::keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) {
    return !folderCallFails(error) && native_.keepFileTimesAndMode(from, to, error);
}

bool TestOs::keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) {
    return !folderCallFails(error) && native_.keepFolderTimesAndMode(from, to, error);
}

bool TestOs::readLink(const std::string& path, std::string& target, int& error) {
    return !folderCallFails(error) && native_.readLink(path, target, error);
}

bool TestOs::makeLink(const std::string& target, const std::string& path, bool toFolder, int& error) {
    return !folderCallFails(error) && native_.makeLink(target, path, toFolder, error);
}

bool TestOs::renameOver(const std::string& from, const std::string& to, int& error) {
    return !folderCallFails(error) && native_.renameOver(from, to, error);
}

}  // namespace marlune::testing
