// An Os whose files live in memory and which knows what of them is on stable
// storage, after SQLite's crash-test file system: a file's data is there up to
// its last sync, a folder's names up to the folder's last sync. Whatever was not
// synced may be lost on a crash, each change on its own, and a write may be torn.
//
// After every call it keeps a crash point: what the disk held then. A test runs
// the library once and then looks at every state a crash there may leave.
// Installed in the module state for its lifetime.
//
// Folders are names alone: one made is on the disk at once, as if its parent were
// synced straight away; a folder's listing is sorted by name, as a walk wants it
// anyway. The model has no links (reading or making one fails) and no permissions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/os.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {

class CrashOs : public platform::Os {
public:
    // What a disk holds after a crash: each name and its file's bytes.
    using Disk = std::map<std::string, Bytes>;

    CrashOs();
    ~CrashOs() override;
    CrashOs(const CrashOs&) = delete;
    CrashOs& operator=(const CrashOs&) = delete;

    // A file long on the disk: its data and its name synced; `modified` 0: now.
    void addSyncedFile(const std::string& path, const Bytes& bytes, std::int64_t modified = 0);
    // A folder, and those above it, on the disk.
    void addFolder(const std::string& path);
    std::int64_t modifiedOf(const std::string& path) const;
    const std::set<std::string>& folders() const { return folders_; }
    // What a reader sees now at `path`; nothing when no file has the name.
    std::optional<Bytes> contents(const std::string& path) const;
    std::vector<std::string> names() const;

    // A library that forgets a kind of sync, to show that the crash states catch it.
    bool fileSyncsDoNothing = false;
    bool folderSyncsDoNothing = false;
    // And one whose moves replace what they were told to keep, or that never asks
    // whether a name still leads to its file.
    bool movesAlwaysReplace = false;
    bool namesAlwaysLeadToTheirFiles = false;
    // And one that never sees a source change after its copy read it.
    bool filesNeverChange = false;
    // Called after each call's crash point is kept: lets a test act between calls,
    // as another program would.
    std::function<void()> afterCall;
    // Reads, writes and copies move at most this much a call, so that a copy makes
    // many writes, and so many ways to be cut short.
    std::size_t largestTransfer = std::numeric_limits<std::size_t>::max();
    // Up to this many unsynced changes, every combination of them is tried;
    // beyond, all kept, all lost and each one lost alone. Either way, also each
    // write torn with all else kept.
    std::size_t everyCombinationUpTo = 10;

    std::vector<std::string> messages;
    // Folders whose listing fails, as one the user may not read.
    std::set<std::string> unlistable;

    // Another program's move of `from` to `to`, replacing what `to` named.
    bool rename(const char* from, const char* to);
    // Another program's append to the file `path`, which it then syncs.
    void appendSynced(const std::string& path, const Bytes& bytes);

    std::size_t crashPoints() const { return points_.size(); }
    // The call after which crash point `point` comes, as "rename".
    const std::string& callBefore(std::size_t point) const { return points_.at(point).call; }
    // Calls `check` with every state a crash at `point` may leave: the count of them.
    std::size_t forEachCrashState(std::size_t point, const std::function<void(const Disk&)>& check) const;

    bool openForReading(platform::Path path, platform::Handle& file, std::uint64_t& size) override;
    bool createForWriting(const char* path, platform::Handle source, platform::Handle& file) override;
    bool createNew(platform::Path path, platform::Handle& file, platform::Access access) override;
    Name inspect(platform::Path path, platform::Handle source) override;
    bool markInUse(platform::Handle file) override;
    Removal removeIfUnused(const char* path) override;
    bool mayWrite(platform::Path path) override;
    bool copyPermissions(platform::Path path, platform::Handle file) override;
    bool move(platform::Handle file, platform::Path from, platform::Path to, bool replace) override;
    bool syncFolderOf(platform::Path path) override;
    // Names are whole paths here: a folder needs no handle.
    bool openFolder(const char* path, platform::Handle& folder) override;
    bool fileState(platform::Handle file, platform::FileState& state) override;
    bool rewind(platform::Handle file) override;
    Deletion deleteUnchanged(platform::Path path, const platform::FileState& expected) override;
    std::string followLinks(const char* path) override;
    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override;
    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override;
    bool truncate(platform::Handle file, std::uint64_t bytes) override;
    bool sync(platform::Handle file) override;
    // As syncfs: every file's data and every folder's names.
    bool syncTogether(const platform::Handle* files, std::size_t count) override;
    bool close(platform::Handle file) override;
    bool isSameFile(platform::Path path, platform::Handle file) override;
    std::int64_t copyRange(platform::Handle source, platform::Handle destination, std::size_t size) override;
    bool deleteFile(platform::Path path) override;
    void showMessage(const char* text) override;

    bool listFolder(const std::string& path, std::vector<platform::FolderEntry>& entries, int& error) override;
    bool namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                         int& error) override;
    platform::Kind kindOf(const std::string& path, std::uint64_t& size, platform::FileKey& key) override;
    platform::Kind kindOfName(const std::string& path) override;
    bool letOwnerWrite(const std::string& path, int& error) override;
    bool mayWriteInFolder(const std::string& path, int& error) override;
    bool createFolder(const std::string& path, int& error) override;
    bool syncFolder(const std::string& path, int& error) override;
    std::string resolvedPath(const std::string& path) override;
    std::string linkTarget(const std::string& path) override;
    bool regularFileAttributes(const std::string& path, platform::FileAttributes& attributes) override;
    bool keepTimesAndMode(platform::Handle from, platform::Handle to, int& error) override;
    bool keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) override;
    bool keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) override;
    bool readLink(const std::string& path, std::string& target, int& error) override;
    bool makeLink(const std::string& target, const std::string& path, bool toFolder, int& error) override;
    bool renameOver(const std::string& from, const std::string& to, int& error) override;

private:
    using Inode = int;
    // Shared, so that a crash point costs pointers rather than copies of files.
    using SharedBytes = std::shared_ptr<const Bytes>;

    // A write of `bytes` at `offset`, or (without bytes) a cut to `offset` bytes.
    struct DataChange {
        std::uint64_t offset = 0;
        SharedBytes bytes;
    };
    struct StoredFile {
        SharedBytes synced;
        std::vector<DataChange> unsynced;
    };
    // A name given to a file (`to`), taken from it (`from`), or both in one step:
    // a rename inside one folder is atomic, one between folders is two changes.
    struct NameChange {
        std::string folder;
        std::string from;
        std::string to;
        Inode inode = 0;
    };
    // What stable storage holds and what may still reach it.
    struct Storage {
        std::map<Inode, StoredFile> files;
        std::map<std::string, Inode> syncedNames;
        std::vector<NameChange> unsyncedNames;
    };
    struct CrashPoint {
        std::string call;
        Storage storage;
    };
    struct OpenFile {
        Inode inode = 0;
        std::uint64_t position = 0;
        bool marked = false;  // in use: removeIfUnused leaves it
    };

    // One change's fate in a crash state.
    enum class Fate : std::uint8_t { lost, kept, torn };

    static Disk survivor(const Storage& storage, const std::vector<Fate>& fates);
    static void apply(const NameChange& change, std::map<std::string, Inode>& names);
    // Puts the names of `folder` on stable storage.
    void syncNamesIn(const std::string& folder);
    // What `path` is now: a file (with its size and identity), a folder, or nothing.
    platform::Kind kindNow(const std::string& path, std::uint64_t& size, platform::FileKey& key) const;
    // Sets the system's error code and `error`; false.
    bool fail(int& error);
    static void apply(const DataChange& change, Bytes& content, bool torn);
    // The file a name means now, or nothing.
    std::optional<Inode> named(const char* path) const;
    bool renameNames(const char* from, const char* to);
    Inode newFile(const std::string& path);
    void change(Inode inode, DataChange data);
    // Its identity, size, and the count of its changes for both times.
    platform::FileState stateOf(Inode inode);
    // Sets the system's error code; false.
    bool fail();
    std::int64_t failTransfer(const char* call);
    // Keeps the crash point after `call`; passes `result` on.
    template <typename Result>
    Result done(const char* call, Result result);

    platform::Os* previous_;
    // A copy that writes on a thread of its own reads meanwhile: reads and writes
    // take turns here (and a neighbour called back from either may read and write).
    std::recursive_mutex transfers_;
    std::map<std::string, Inode> names_;
    std::map<Inode, Bytes> current_;
    std::map<Inode, std::int64_t> changes_;
    std::map<Inode, std::int64_t> modified_;  // set by each change, or kept from another file
    std::int64_t clock_ = 0;
    std::set<std::string> folders_;
    std::map<Inode, platform::FileState> firstStates_;
    Storage storage_;
    std::map<platform::Handle, OpenFile> open_;
    std::vector<CrashPoint> points_;
    Inode nextInode_ = 1;
    platform::Handle nextHandle_ = 3;
};

}  // namespace marlune::testing
