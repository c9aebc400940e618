#include "support/crash_os.h"

#include <algorithm>
#include <cstring>

#include "boundary/module_state.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

// The folder is what syncFolderOf puts on stable storage: the path up to its last separator.
std::string folderOf(const std::string& path) {
#ifdef _WIN32
    const std::size_t separator = path.find_last_of("/\\");
#else
    const std::size_t separator = path.rfind('/');
#endif
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

// The name of `path` when it lies right in `folder`; empty when it does not.
std::string nameIn(const std::string& folder, const std::string& path) {
    if (path.size() <= folder.size() + 1 || path.compare(0, folder.size(), folder) != 0 || folderOf(path) != folder)
        return {};
    return path.substr(folder.size() + 1);
}

}  // namespace

CrashOs::CrashOs() : previous_(moduleState().os) {
    moduleState().os = this;
}

CrashOs::~CrashOs() {
    moduleState().os = previous_;
}

void CrashOs::addSyncedFile(const std::string& path, const Bytes& bytes, std::int64_t modified) {
    const Inode inode = nextInode_++;
    current_[inode] = bytes;
    modified_[inode] = modified != 0 ? modified : ++clock_;
    addFolder(folderOf(path));
    storage_.files[inode].synced = std::make_shared<const Bytes>(bytes);
    names_[path] = inode;
    storage_.syncedNames[path] = inode;
}

void CrashOs::addFolder(const std::string& path) {
    for (std::string folder = path; !folder.empty() && folders_.insert(folder).second;) folder = folderOf(folder);
}

std::int64_t CrashOs::modifiedOf(const std::string& path) const {
    return modified_.at(names_.at(path));
}

std::optional<Bytes> CrashOs::contents(const std::string& path) const {
    const auto name = names_.find(path);
    if (name == names_.end()) return std::nullopt;
    return current_.at(name->second);
}

std::vector<std::string> CrashOs::names() const {
    std::vector<std::string> all;
    for (const auto& name : names_) all.push_back(name.first);
    return all;
}

std::size_t CrashOs::forEachCrashState(std::size_t point, const std::function<void(const Disk&)>& check) const {
    const Storage& storage = points_.at(point).storage;
    std::size_t changes = storage.unsyncedNames.size();
    std::vector<std::size_t> writes;  // those that can be torn
    for (const auto& file : storage.files) {
        for (const DataChange& data : file.second.unsynced) {
            if (data.bytes && data.bytes->size() > 1) writes.push_back(changes);
            ++changes;
        }
    }
    std::vector<std::vector<Fate>> states;
    if (changes <= everyCombinationUpTo) {
        for (std::size_t mask = 0; mask < std::size_t{1} << changes; ++mask) {
            std::vector<Fate> fates(changes);
            for (std::size_t i = 0; i < changes; ++i) fates[i] = (mask >> i & 1) != 0 ? Fate::kept : Fate::lost;
            states.push_back(fates);
        }
    } else {
        states.emplace_back(changes, Fate::kept);
        states.emplace_back(changes, Fate::lost);
        for (std::size_t i = 0; i < changes; ++i) {
            states.emplace_back(changes, Fate::kept);
            states.back()[i] = Fate::lost;
        }
    }
    for (const std::size_t i : writes) {
        states.emplace_back(changes, Fate::kept);
        states.back()[i] = Fate::torn;
    }
    for (const std::vector<Fate>& fates : states) check(survivor(storage, fates));
    return states.size();
}

// The fates go in order: the name changes, then each file's data changes.
CrashOs::Disk CrashOs::survivor(const Storage& storage, const std::vector<Fate>& fates) {
    std::size_t next = 0;
    std::map<std::string, Inode> names = storage.syncedNames;
    for (const NameChange& name : storage.unsyncedNames) {
        if (fates[next++] == Fate::kept) apply(name, names);
    }
    std::map<Inode, Bytes> bytes;
    for (const auto& [inode, file] : storage.files) {
        Bytes& content = bytes[inode] = *file.synced;
        for (const DataChange& data : file.unsynced) {
            const Fate fate = fates[next++];
            if (fate != Fate::lost) apply(data, content, fate == Fate::torn);
        }
    }
    Disk disk;
    for (const auto& [name, inode] : names) disk[name] = bytes.at(inode);
    return disk;
}

std::optional<CrashOs::Inode> CrashOs::named(const char* path) const {
    const auto name = names_.find(path);
    if (name == names_.end()) return std::nullopt;
    return name->second;
}

CrashOs::Inode CrashOs::newFile(const std::string& path) {
    const Inode inode = nextInode_++;
    current_[inode];
    modified_[inode] = ++clock_;
    storage_.files[inode].synced = std::make_shared<const Bytes>();
    names_[path] = inode;
    storage_.unsyncedNames.push_back({folderOf(path), "", path, inode});
    return inode;
}

void CrashOs::apply(const NameChange& change, std::map<std::string, Inode>& names) {
    const auto from = names.find(change.from);
    if (from != names.end() && from->second == change.inode) names.erase(from);
    // A rename that reaches the disk without the creation before it still moves the file.
    if (!change.to.empty()) names[change.to] = change.inode;
}

// A torn write: only its first half reached the disk.
void CrashOs::apply(const DataChange& change, Bytes& content, bool torn) {
    const auto offset = static_cast<std::size_t>(change.offset);
    if (!change.bytes) {
        content.resize(offset);
        return;
    }
    const std::size_t size = torn ? change.bytes->size() / 2 : change.bytes->size();
    if (content.size() < offset + size) content.resize(offset + size);
    std::copy_n(change.bytes->begin(), size, content.begin() + static_cast<std::ptrdiff_t>(offset));
}

void CrashOs::appendSynced(const std::string& path, const Bytes& bytes) {
    const Inode inode = names_.at(path);
    Bytes& content = current_.at(inode);
    content.insert(content.end(), bytes.begin(), bytes.end());
    storage_.files.at(inode).synced = std::make_shared<const Bytes>(content);
    ++changes_[inode];
    modified_[inode] = ++clock_;
}

platform::FileState CrashOs::stateOf(Inode inode) {
    platform::FileState state;
    state.index = static_cast<std::uint64_t>(inode);
    state.size = current_.at(inode).size();
    state.modified = modified_[inode];
    state.changed = changes_[inode];
    if (!filesNeverChange) return state;
    return firstStates_.emplace(inode, state).first->second;
}

void CrashOs::change(Inode inode, DataChange data) {
    ++changes_[inode];
    modified_[inode] = ++clock_;
    apply(data, current_.at(inode), false);
    storage_.files.at(inode).unsynced.push_back(std::move(data));
}

bool CrashOs::fail() {
    platform::setLastSystemError(ErrorCodes::io);
    return false;
}

template <typename Result>
Result CrashOs::done(const char* call, Result result) {
    // Keeping the point must not disturb the error code a failure left.
    const int code = platform::lastSystemError();
    points_.push_back({call, storage_});
    if (afterCall) afterCall();
    platform::setLastSystemError(code);
    return result;
}

std::int64_t CrashOs::failTransfer(const char* call) {
    fail();
    return done(call, std::int64_t{-1});
}

bool CrashOs::openForReading(platform::Path path, platform::Handle& file, std::uint64_t& size) {
    const std::optional<Inode> inode = named(path.text);
    if (!inode) return done("openForReading", fail());
    file = nextHandle_++;
    open_[file] = {*inode, 0};
    size = current_.at(*inode).size();
    return done("openForReading", true);
}

bool CrashOs::createForWriting(const char* path, platform::Handle source, platform::Handle& file) {
    const std::optional<Inode> existing = named(path);
    const auto opened = open_.find(source);
    if (existing && opened != open_.end() && opened->second.inode == *existing) return done("createForWriting", fail());
    if (existing) change(*existing, {0, nullptr});
    file = nextHandle_++;
    open_[file] = {existing ? *existing : newFile(path), 0};
    return done("createForWriting", true);
}

bool CrashOs::createNew(platform::Path path, platform::Handle& file, platform::Access /*access*/) {
    if (named(path.text)) return done("createNew", fail());
    file = nextHandle_++;
    open_[file] = {newFile(path.text), 0};
    return done("createNew", true);
}

platform::Os::Name CrashOs::inspect(platform::Path path, platform::Handle source) {
    const std::optional<Inode> existing = named(path.text);
    const auto opened = open_.find(source);
    if (!existing) return done("inspect", Name::nothing);
    return done("inspect",
                opened != open_.end() && opened->second.inode == *existing ? Name::source : Name::regularFile);
}

bool CrashOs::markInUse(platform::Handle file) {
    const auto opened = open_.find(file);
    if (opened == open_.end()) return done("markInUse", fail());
    opened->second.marked = true;
    return done("markInUse", true);
}

platform::Os::Removal CrashOs::removeIfUnused(const char* path) {
    const std::optional<Inode> inode = named(path);
    if (!inode) {
        fail();
        return done("removeIfUnused", Removal::failed);
    }
    for (const auto& opened : open_) {
        if (opened.second.inode == *inode && opened.second.marked) return done("removeIfUnused", Removal::inUse);
    }
    names_.erase(path);
    storage_.unsyncedNames.push_back({folderOf(path), path, "", *inode});
    return done("removeIfUnused", Removal::removed);
}

bool CrashOs::mayWrite(platform::Path path) {
    return done("mayWrite", named(path.text) ? true : fail());
}

// The model has no permissions.
bool CrashOs::copyPermissions(platform::Path /*path*/, platform::Handle /*file*/) {
    return done("copyPermissions", true);
}

bool CrashOs::move(platform::Handle /*file*/, platform::Path from, platform::Path to, bool replace) {
    if (!replace && !movesAlwaysReplace && named(to.text)) {
        platform::setLastSystemError(ErrorCodes::exists);
        return done("move", false);
    }
    return done("move", renameNames(from.text, to.text));
}

bool CrashOs::rename(const char* from, const char* to) {
    return done("rename", renameNames(from, to));
}

bool CrashOs::renameNames(const char* from, const char* to) {
    const std::optional<Inode> inode = named(from);
    if (!inode) return fail();
    if (std::strcmp(from, to) == 0) return true;
    names_.erase(from);
    names_[to] = *inode;
    if (folderOf(from) == folderOf(to)) {
        storage_.unsyncedNames.push_back({folderOf(from), from, to, *inode});
    } else {
        storage_.unsyncedNames.push_back({folderOf(from), from, "", *inode});
        storage_.unsyncedNames.push_back({folderOf(to), "", to, *inode});
    }
    return true;
}

bool CrashOs::openFolder(const char* /*path*/, platform::Handle& folder) {
    folder = platform::noHandle;
    return done("openFolder", true);
}

bool CrashOs::fileState(platform::Handle file, platform::FileState& state) {
    const auto opened = open_.find(file);
    if (opened == open_.end()) return done("fileState", fail());
    state = stateOf(opened->second.inode);
    return done("fileState", true);
}

bool CrashOs::rewind(platform::Handle file) {
    const auto opened = open_.find(file);
    if (opened == open_.end()) return done("rewind", fail());
    opened->second.position = 0;
    return done("rewind", true);
}

platform::Os::Deletion CrashOs::deleteUnchanged(platform::Path path, const platform::FileState& expected) {
    const std::optional<Inode> inode = named(path.text);
    if (!inode || static_cast<std::uint64_t>(*inode) != expected.index)
        return done("deleteUnchanged", Deletion::elsewhere);
    if (stateOf(*inode) != expected) return done("deleteUnchanged", Deletion::changed);
    names_.erase(path.text);
    storage_.unsyncedNames.push_back({folderOf(path.text), path.text, "", *inode});
    return done("deleteUnchanged", Deletion::removed);
}

bool CrashOs::syncFolderOf(platform::Path path) {
    if (folderSyncsDoNothing) return done("syncFolderOf", true);
    syncNamesIn(folderOf(path.text));
    return done("syncFolderOf", true);
}

void CrashOs::syncNamesIn(const std::string& folder) {
    std::vector<NameChange> unsynced;
    for (NameChange& name : storage_.unsyncedNames) {
        if (name.folder == folder) {
            apply(name, storage_.syncedNames);
        } else {
            unsynced.push_back(std::move(name));
        }
    }
    storage_.unsyncedNames = std::move(unsynced);
}

std::string CrashOs::followLinks(const char* path) {
    return done("followLinks", std::string(path));
}

std::int64_t CrashOs::read(platform::Handle file, void* buffer, std::size_t size) {
    const std::lock_guard<std::recursive_mutex> turn(transfers_);
    const auto opened = open_.find(file);
    if (opened == open_.end()) return failTransfer("read");
    const Bytes& content = current_.at(opened->second.inode);
    const auto position = static_cast<std::size_t>(opened->second.position);
    const std::size_t count =
        position >= content.size() ? 0 : std::min({size, largestTransfer, content.size() - position});
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(position), count, static_cast<std::uint8_t*>(buffer));
    opened->second.position += count;
    return done("read", static_cast<std::int64_t>(count));
}

std::int64_t CrashOs::write(platform::Handle file, const void* buffer, std::size_t size) {
    const std::lock_guard<std::recursive_mutex> turn(transfers_);
    const auto opened = open_.find(file);
    if (opened == open_.end()) return failTransfer("write");
    const std::size_t count = std::min(size, largestTransfer);
    const auto* const bytes = static_cast<const std::uint8_t*>(buffer);
    if (count > 0)
        change(opened->second.inode, {opened->second.position, std::make_shared<const Bytes>(bytes, bytes + count)});
    opened->second.position += count;
    return done("write", static_cast<std::int64_t>(count));
}

bool CrashOs::truncate(platform::Handle file, std::uint64_t bytes) {
    const auto opened = open_.find(file);
    if (opened == open_.end()) return done("truncate", fail());
    change(opened->second.inode, {bytes, nullptr});
    return done("truncate", true);
}

bool CrashOs::sync(platform::Handle file) {
    const auto opened = open_.find(file);
    if (opened == open_.end()) return done("sync", fail());
    if (!fileSyncsDoNothing) {
        StoredFile& stored = storage_.files.at(opened->second.inode);
        stored.synced = std::make_shared<const Bytes>(current_.at(opened->second.inode));
        stored.unsynced.clear();
    }
    return done("sync", true);
}

bool CrashOs::syncTogether(const platform::Handle* /*files*/, std::size_t /*count*/) {
    if (fileSyncsDoNothing) return done("syncTogether", true);
    for (auto& [inode, stored] : storage_.files) {
        stored.synced = std::make_shared<const Bytes>(current_.at(inode));
        stored.unsynced.clear();
    }
    if (!folderSyncsDoNothing) {
        for (const NameChange& name : storage_.unsyncedNames) apply(name, storage_.syncedNames);
        storage_.unsyncedNames.clear();
    }
    return done("syncTogether", true);
}

bool CrashOs::close(platform::Handle file) {
    return done("close", open_.erase(file) == 1 || fail());
}

bool CrashOs::isSameFile(platform::Path path, platform::Handle file) {
    const auto opened = open_.find(file);
    return done("isSameFile",
                namesAlwaysLeadToTheirFiles || opened == open_.end() || named(path.text) == opened->second.inode);
}

std::int64_t CrashOs::copyRange(platform::Handle source, platform::Handle destination, std::size_t size) {
    const auto from = open_.find(source);
    const auto to = open_.find(destination);
    if (from == open_.end() || to == open_.end()) return failTransfer("copyRange");
    const Bytes& content = current_.at(from->second.inode);
    const auto position = static_cast<std::size_t>(from->second.position);
    const std::size_t count =
        position >= content.size() ? 0 : std::min({size, largestTransfer, content.size() - position});
    if (count > 0) {
        const auto start = content.begin() + static_cast<std::ptrdiff_t>(position);
        change(to->second.inode,
               {to->second.position, std::make_shared<const Bytes>(start, start + static_cast<std::ptrdiff_t>(count))});
    }
    from->second.position += count;
    to->second.position += count;
    return done("copyRange", static_cast<std::int64_t>(count));
}

bool CrashOs::deleteFile(platform::Path path) {
    const std::optional<Inode> inode = named(path.text);
    if (!inode) return done("deleteFile", fail());
    names_.erase(path.text);
    storage_.unsyncedNames.push_back({folderOf(path.text), path.text, "", *inode});
    return done("deleteFile", true);
}

void CrashOs::showMessage(const char* text) {
    messages.emplace_back(text);
    done("showMessage", 0);
}

bool CrashOs::fail(int& error) {
    fail();
    error = ErrorCodes::io;
    return false;
}

platform::Kind CrashOs::kindNow(const std::string& path, std::uint64_t& size, platform::FileKey& key) const {
    const auto name = names_.find(path);
    if (name != names_.end()) {
        size = current_.at(name->second).size();
        key = {0, 0, static_cast<std::uint64_t>(name->second)};
        return platform::Kind::file;
    }
    const auto folder = folders_.find(path);
    if (folder == folders_.end()) return platform::Kind::missing;
    key = {1, 0, static_cast<std::uint64_t>(std::distance(folders_.begin(), folder))};
    return platform::Kind::folder;
}

bool CrashOs::listFolder(const std::string& path, std::vector<platform::FolderEntry>& entries, int& error) {
    entries.clear();
    if (folders_.count(path) == 0 || unlistable.count(path) != 0) return done("listFolder", fail(error));
    // Both maps are sorted by path, and a folder's names follow it in that order.
    for (const auto& [name, inode] : names_) {
        const std::string entry = nameIn(path, name);
        if (entry.empty()) continue;
        const std::uint64_t size = current_.at(inode).size();
        entries.push_back({entry, platform::Kind::file, size, {0, 0, static_cast<std::uint64_t>(inode)}});
    }
    for (const std::string& folder : folders_) {
        const std::string entry = nameIn(path, folder);
        if (entry.empty()) continue;
        std::uint64_t size = 0;
        platform::FileKey key;
        kindNow(folder, size, key);
        entries.push_back({entry, platform::Kind::folder, 0, key});
    }
    std::sort(entries.begin(), entries.end(),
              [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
    return done("listFolder", true);
}

bool CrashOs::namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                              int& error) {
    names.clear();
    if (folders_.count(folder) == 0 || unlistable.count(folder) != 0) return done("namesEndingWith", fail(error));
    for (const auto& entry : names_) {
        const std::string name = nameIn(folder, entry.first);
        if (name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            names.push_back(name);
    }
    return done("namesEndingWith", true);
}

platform::Kind CrashOs::kindOf(const std::string& path, std::uint64_t& size, platform::FileKey& key) {
    return done("kindOf", kindNow(path, size, key));
}

platform::Kind CrashOs::kindOfName(const std::string& path) {
    std::uint64_t size = 0;
    platform::FileKey key;
    return done("kindOfName", kindNow(path, size, key));
}

bool CrashOs::letOwnerWrite(const std::string& path, int& error) {
    return done("letOwnerWrite", folders_.count(path) != 0 || fail(error));
}

bool CrashOs::mayWriteInFolder(const std::string& path, int& error) {
    return done("mayWriteInFolder", folders_.count(path) != 0 || fail(error));
}

bool CrashOs::createFolder(const std::string& path, int& error) {
    if (folders_.count(path) != 0) return done("createFolder", true);
    if (names_.count(path) != 0 || folders_.count(folderOf(path)) == 0) return done("createFolder", fail(error));
    folders_.insert(path);
    return done("createFolder", true);
}

bool CrashOs::syncFolder(const std::string& path, int& error) {
    if (folders_.count(path) == 0) return done("syncFolder", fail(error));
    if (!folderSyncsDoNothing) syncNamesIn(path);
    return done("syncFolder", true);
}

std::string CrashOs::resolvedPath(const std::string& path) {
    std::uint64_t size = 0;
    platform::FileKey key;
    return done("resolvedPath", kindNow(path, size, key) == platform::Kind::missing ? std::string() : path);
}

std::string CrashOs::linkTarget(const std::string& /*path*/) {
    return done("linkTarget", std::string());
}

bool CrashOs::regularFileAttributes(const std::string& path, platform::FileAttributes& attributes) {
    const std::optional<Inode> inode = named(path.c_str());
    if (!inode) return done("regularFileAttributes", false);
    attributes = {};
    attributes.size = current_.at(*inode).size();
    attributes.modified = modified_[*inode];
    attributes.mode = 0644;
    return done("regularFileAttributes", true);
}

bool CrashOs::keepTimesAndMode(platform::Handle from, platform::Handle to, int& error) {
    const auto source = open_.find(from);
    const auto copy = open_.find(to);
    if (source == open_.end() || copy == open_.end()) return done("keepTimesAndMode", fail(error));
    modified_[copy->second.inode] = modified_[source->second.inode];
    return done("keepTimesAndMode", true);
}

bool CrashOs::keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) {
    const std::optional<Inode> source = named(from.c_str());
    const std::optional<Inode> copy = named(to.c_str());
    if (!source || !copy) return done("keepFileTimesAndMode", fail(error));
    modified_[*copy] = modified_[*source];
    return done("keepFileTimesAndMode", true);
}

bool CrashOs::keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) {
    return done("keepFolderTimesAndMode", (folders_.count(from) != 0 && folders_.count(to) != 0) || fail(error));
}

bool CrashOs::readLink(const std::string& /*path*/, std::string& /*target*/, int& error) {
    return done("readLink", fail(error));
}

bool CrashOs::makeLink(const std::string& /*target*/, const std::string& /*path*/, bool /*toFolder*/, int& error) {
    return done("makeLink", fail(error));
}

bool CrashOs::renameOver(const std::string& from, const std::string& to, int& error) {
    return done("renameOver", renameNames(from.c_str(), to.c_str()) || fail(error));
}

}  // namespace marlune::testing
