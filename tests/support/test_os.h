// An Os that forwards to the native one, records what the library asks of it,
// and can make a chosen call fail. Installed in the module state for a scope.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "boundary/module_state.h"
#include "platform/os.h"

namespace marlune::testing {

enum class Call {
    openForReading,
    createForWriting,
    read,
    write,
    truncate,
    sync,
    close,
    deleteFile,
    isSameFile,  // an error: the path names another file
    copyRange,
    createNew,
    inspect,  // an error: the name holds something that is no file
    move,
    syncFolder,
    markInUse,  // an error: someone else marked the file first
    mayWrite,   // an error: the file may not be written
    copyPermissions,
    removeIfUnused,
    syncTogether,
    openFolder,
    fileState,
    deleteUnchanged,  // an error: the removal fails
    rewind,
    count
};

enum class FaultKind {
    error,          // the call reports the fault's error code
    shortTransfer,  // a read, write or copyRange moves only half of what was asked (at least one byte)
    noProgress,     // a read, write or copyRange moves nothing: end of file, or a full disk
    unsupported,    // copyRange: the system cannot copy between these files itself
};

// The system's own codes for the errors a disk gives.
struct ErrorCodes {
    static const int io;
    static const int diskFull;
    static const int interrupted;  // 0 where calls are never interrupted
    static const int exists;       // a name is taken
};

struct Fault {
    Call call;
    int nth;  // 1 for the first call of that kind
    FaultKind kind = FaultKind::error;
    int code = ErrorCodes::io;
    // A disk that stays dead: from this call on, every call of every kind fails
    // with the same error.
    bool persistent = false;
};

class TestOs : public platform::Os {
public:
    TestOs();
    ~TestOs() override;

    std::optional<Fault> fault;
    // A second fault at the same time, for what happens when the cleanup of a failure fails too.
    std::optional<Fault> secondFault;
    // Set once a fault was applied: a fault that never happened proves nothing.
    bool faulted = false;
    // After the faulty short write, every write makes no progress, as on a full disk.
    bool stopAfterShortWrite = false;
    // Called from showMessage, after it is recorded.
    std::function<void()> onMessage;
    // Called as each call is counted, before it is carried out: lets a test change
    // the world (rename or delete a file) at a chosen point of a copy.
    std::function<void(Call, int nth)> onCall;

    // The folder and link calls (listFolder to renameOver), counted together: the
    // one with this number fails with an I/O error (a kind, a path or attributes: none).
    int failedFolderCall = 0;  // 0: none
    int folderCalls() const { return folderCalls_; }

    std::vector<std::string> messages;
    // How many files were open when each message was shown.
    std::vector<std::size_t> openFilesAtMessage;
    int calls(Call call) const { return counts_[static_cast<std::size_t>(call)]; }
    std::size_t openFiles() const { return open_.size(); }

    // Non-zero while a TestOs allocates for its own records: an allocation counter
    // then knows the allocation is not the library's.
    static thread_local int recording;

    bool openForReading(platform::Path path, platform::Handle& file, std::uint64_t& size) override;
    // Counted and failed as openForReading.
    bool openForReadingWithState(platform::Path path, platform::Handle& file, platform::FileState& state) override;
    bool createForWriting(const char* path, platform::Handle source, platform::Handle& file) override;
    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override;
    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override;
    bool truncate(platform::Handle file, std::uint64_t bytes) override;
    bool sync(platform::Handle file) override;
    bool syncTogether(const platform::Handle* files, std::size_t count) override;
    bool close(platform::Handle file) override;
    bool deleteFile(platform::Path path) override;
    bool isSameFile(platform::Path path, platform::Handle file) override;
    std::int64_t copyRange(platform::Handle source, platform::Handle destination, std::size_t size) override;
    bool createNew(platform::Path path, platform::Handle& file, platform::Access access) override;
    Name inspect(platform::Path path, platform::Handle source) override;
    bool markInUse(platform::Handle file) override;
    Removal removeIfUnused(const char* path) override;
    bool mayWrite(platform::Path path) override;
    bool copyPermissions(platform::Path path, platform::Handle file) override;
    bool move(platform::Handle file, platform::Path from, platform::Path to, bool replace) override;
    bool syncFolderOf(platform::Path path) override;
    bool openFolder(const char* path, platform::Handle& folder) override;
    bool fileState(platform::Handle file, platform::FileState& state) override;
    bool rewind(platform::Handle file) override;
    Deletion deleteUnchanged(platform::Path path, const platform::FileState& expected) override;
    std::string followLinks(const char* path) override { return native_.followLinks(path); }
    void showMessage(const char* text) override;
    bool listFolder(const std::string& path, std::vector<platform::FolderEntry>& entries, int& error) override;
    bool namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                         int& error) override;
    platform::Kind kindOf(const std::string& path, std::uint64_t& size, platform::FileKey& key) override;
    platform::Kind kindOfName(const std::string& path) override;
    bool letOwnerWrite(const std::string& path, int& error) override;
    bool createFolder(const std::string& path, int& error) override;
    bool syncFolder(const std::string& path, int& error) override;
    std::string resolvedPath(const std::string& path) override;
    std::string linkTarget(const std::string& path) override;
    bool regularFileAttributes(const std::string& path, platform::FileAttributes& attributes) override;
    bool keepTimesAndMode(platform::Handle from, platform::Handle to, int& error) override;
    bool keepSeenTimesAndMode(platform::Handle from, const platform::FileState& seen, platform::Handle to,
                              int& error) override;
    bool keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) override;
    bool keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) override;
    bool readLink(const std::string& path, std::string& target, int& error) override;
    bool makeLink(const std::string& target, const std::string& path, bool toFolder, int& error) override;
    bool renameOver(const std::string& from, const std::string& to, int& error) override;

private:
    // Counts the call; the fault to apply to it, if any (with its code set as the system's).
    const Fault* count(Call call);
    // Counts the call; true when it fails with an error.
    bool fails(Call call);
    // Counts a folder call; true (with `error` set as the system's code) when it fails.
    bool folderCallFails(int& error);

    platform::Os& native_;
    platform::Os* previous_;
    // A copy that writes on a thread of its own reads meanwhile: reads and writes
    // take turns here, so that counts and faults stay exact.
    std::recursive_mutex transfers_;
    std::array<int, static_cast<std::size_t>(Call::count)> counts_{};
    std::set<platform::Handle> open_;
    std::optional<Fault> dead_;
    bool diskFull_ = false;
    int folderCalls_ = 0;
};

}  // namespace marlune::testing
