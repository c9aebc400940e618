// The operating-system layer on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/os.h"

namespace marlune::platform {
namespace {

// Non-blocking open keeps a FIFO from stalling the call; only regular files are
// accepted, and on those the flag changes nothing, so it is left set.
constexpr int openFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Largest transfer per call, so that the count always fits the return type everywhere.
constexpr std::size_t maxTransfer = 1u << 30;

// Below this size the system's own read-ahead is all a file needs.
constexpr off_t sequentialHintSize = 1 << 20;

int fd(Handle file) {
    return static_cast<int>(file);
}

bool isRegularFile(int descriptor, struct stat& info) {
    if (fstat(descriptor, &info) != 0) return false;
    if (S_ISREG(info.st_mode)) return true;
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
}

// Closes a descriptor that was not kept, with the error that refused it intact.
bool refuse(int descriptor) {
    const int code = errno;
    ::close(descriptor);
    errno = code;
    return false;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileState stateOf(const struct stat& info) {
    FileState state;
    state.volume = static_cast<std::uint64_t>(info.st_dev);
    state.index = static_cast<std::uint64_t>(info.st_ino);
    state.size = static_cast<std::uint64_t>(info.st_size);
    state.modified = nanoseconds(info.st_mtim);
    state.changed = nanoseconds(info.st_ctim);
    state.mode = static_cast<std::uint32_t>(info.st_mode);
    state.owner = static_cast<std::uint64_t>(info.st_uid);
    state.group = static_cast<std::uint64_t>(info.st_gid);
    state.accessed = nanoseconds(info.st_atim);
    return state;
}

// The descriptor and name a Path stands for: its last component in its folder,
// or the whole path from the working folder.
struct At {
    int folder;
    const char* name;
};

At at(const Path& path) {
    if (path.folder == noHandle) return {AT_FDCWD, path.text};
    const char* const slash = std::strrchr(path.text, '/');
    return {fd(path.folder), slash == nullptr ? path.text : slash + 1};
}

// Set once a file system has said it cannot rename without replacing: from then
// on a link and an unlink do it, which fail just as surely when the name is taken.
std::atomic<bool> noReplaceUnsupported{false};

bool renameWithoutReplacing(At from, At to) {
#ifdef RENAME_NOREPLACE
    if (!noReplaceUnsupported.load(std::memory_order_relaxed)) {
        if (renameat2(from.folder, from.name, to.folder, to.name, RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS) return false;
        noReplaceUnsupported.store(true, std::memory_order_relaxed);
    }
#endif
    // Between the two, both names lead to the one file: nothing is lost at a crash.
    if (linkat(from.folder, from.name, to.folder, to.name, 0) != 0) return false;
    unlinkat(from.folder, from.name, 0);
    return true;
}

// The folder that holds `path`: "." for a bare name, "/" for one at the root.
std::string folderOf(const char* path) {
    const char* const slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}

// A file system that cannot sync a folder this way keeps its names by other
// means; one held only for searching (O_PATH) refuses as its name would.
bool syncFolderDescriptor(int folder) {
    if (fsync(folder) == 0 || errno == EINVAL) return true;
    if (errno == EBADF) errno = EACCES;
    return false;
}

class PosixOs final : public Os {
public:
    bool openForReading(Path path, Handle& file, std::uint64_t& size) override {
        struct stat info {};
        if (!openRegularFile(path, file, info)) return false;
        size = static_cast<std::uint64_t>(info.st_size);
        return true;
    }

    bool openForReadingWithState(Path path, Handle& file, FileState& state) override {
        struct stat info {};
        if (!openRegularFile(path, file, info)) return false;
        state = stateOf(info);
        return true;
    }

    bool keepSeenTimesAndMode(Handle /*from*/, const FileState& seen, Handle to, int& error) override {
        return keepTimesAndModeOf(seen, to, error);
    }

    // POSIX has no share modes: the file is opened without truncation, compared
    // with the source by device and inode, and only then truncated.
    bool createForWriting(const char* path, Handle source, Handle& file) override {
        const int descriptor = ::open(path, O_WRONLY | O_CREAT | openFlags, 0666);
        if (descriptor == -1) return false;
        struct stat info {};
        if (!isRegularFile(descriptor, info)) return refuse(descriptor);
        if (source != noHandle) {
            struct stat sourceInfo {};
            if (fstat(fd(source), &sourceInfo) != 0) return refuse(descriptor);
            if (sourceInfo.st_dev == info.st_dev && sourceInfo.st_ino == info.st_ino) {
                errno = EEXIST;
                return refuse(descriptor);
            }
        }
        // Truncating an empty file changes nothing, but ext4 then writes the file out
        // at close (its guard for files replaced by truncation): leave it alone.
        if (info.st_size != 0 && ftruncate(descriptor, 0) != 0) return refuse(descriptor);
        file = descriptor;
        return true;
    }

    // O_EXCL: a link planted at the name is not followed, a file there not reused.
    bool createNew(Path path, Handle& file, Access access) override {
        const At name = at(path);
        const mode_t mode = access == Access::ownerAlone ? 0600 : 0666;
        const int descriptor = ::openat(name.folder, name.name, O_WRONLY | O_CREAT | O_EXCL | openFlags, mode);
        if (descriptor == -1) return false;
        file = descriptor;
        return true;
    }

    Name inspect(Path path, Handle source) override {
        const At name = at(path);
        struct stat named {};
        if (fstatat(name.folder, name.name, &named, 0) != 0) return errno == ENOENT ? Name::nothing : Name::other;
        if (!S_ISREG(named.st_mode)) return Name::other;
        struct stat opened {};
        const bool isSource = source != noHandle && fstat(fd(source), &opened) == 0 && named.st_dev == opened.st_dev &&
                              named.st_ino == opened.st_ino;
        return isSource ? Name::source : Name::regularFile;
    }

    // A file system without locks (some network ones) leaves the file unmarked.
    bool markInUse(Handle file) override { return flock(fd(file), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

    // Only the file locked is removed: the name must still lead to it.
    Removal removeIfUnused(const char* path) override {
        const int descriptor = ::open(path, O_RDONLY | O_NOFOLLOW | openFlags);
        if (descriptor == -1) return Removal::failed;
        struct stat opened {};
        if (!isRegularFile(descriptor, opened)) {
            refuse(descriptor);
            return Removal::failed;
        }
        if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK;
            refuse(descriptor);
            return held ? Removal::inUse : Removal::failed;
        }
        struct stat named {};
        if (lstat(path, &named) != 0 || !sameFile(named, opened)) {
            ::close(descriptor);
            return Removal::inUse;  // moved into place meanwhile
        }
        const bool removed = unlink(path) == 0;
        refuse(descriptor);
        return removed ? Removal::removed : Removal::failed;
    }

    bool mayWrite(Path path) override {
        const At name = at(path);
        const int descriptor = ::openat(name.folder, name.name, O_WRONLY | openFlags);
        return descriptor != -1 && ::close(descriptor) == 0;
    }

    // The owner first: changing it may clear the set-id bits that the mode then restores.
    bool copyPermissions(Path path, Handle file) override {
        const At name = at(path);
        struct stat named {};
        struct stat own {};
        if (fstatat(name.folder, name.name, &named, 0) != 0 || fstat(fd(file), &own) != 0) return false;
        if ((named.st_uid != own.st_uid || named.st_gid != own.st_gid) &&
            fchown(fd(file), named.st_uid, named.st_gid) != 0) {
            if (errno != EPERM) return false;
            // Not allowed to give the file away: the group alone, if the caller is in it.
            if (fchown(fd(file), static_cast<uid_t>(-1), named.st_gid) != 0 && errno != EPERM) return false;
        }
        return fchmod(fd(file), named.st_mode & 07777) == 0;
    }

    bool move(Handle /*file*/, Path from, Path to, bool replace) override {
        const At source = at(from);
        const At target = at(to);
        return replace ? renameat(source.folder, source.name, target.folder, target.name) == 0
                       : renameWithoutReplacing(source, target);
    }

    // A new name reaches the disk only with its folder: syncing the file is not enough.
    bool syncFolderOf(Path path) override {
        if (path.folder != noHandle) return syncFolderDescriptor(fd(path.folder));
        Handle folder = noHandle;
        if (!openFolder(folderOf(path.text).c_str(), folder)) return false;
        const bool synced = syncFolderDescriptor(fd(folder));
        return ::close(fd(folder)) == 0 && synced;
    }

    // Read access, which a sync needs; a folder that may only be searched is still
    // held (O_PATH), and its sync then fails as it would by name.
    bool openFolder(const char* path, Handle& folder) override {
        int descriptor = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
        if (descriptor == -1 && errno == EACCES) descriptor = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
        if (descriptor == -1) return false;
        folder = descriptor;
        return true;
    }

    bool fileState(Handle file, FileState& state) override {
        struct stat info {};
        if (fstat(fd(file), &info) != 0) return false;
        state = stateOf(info);
        return true;
    }

    // Through a symbolic link, the file it leads to is compared and the link removed.
    Deletion deleteUnchanged(Path path, const FileState& expected) override {
        const At name = at(path);
        struct stat named {};
        if (fstatat(name.folder, name.name, &named, 0) != 0) {
            return errno == ENOENT ? Deletion::elsewhere : Deletion::failed;
        }
        const FileState now = stateOf(named);
        if (!now.isSameFile(expected)) return Deletion::elsewhere;
        if (now != expected) return Deletion::changed;
        return unlinkat(name.folder, name.name, 0) == 0 ? Deletion::removed : Deletion::failed;
    }

    std::string followLinks(const char* path) override {
        struct stat named {};
        if (lstat(path, &named) != 0 || !S_ISLNK(named.st_mode)) return path;
        char* const target = realpath(path, nullptr);
        if (target == nullptr) return path;
        std::string resolved(target);
        std::free(target);
        return resolved;
    }

    std::int64_t read(Handle file, void* buffer, std::size_t size) override {
        return ::read(fd(file), buffer, size < maxTransfer ? size : maxTransfer);
    }

    std::int64_t write(Handle file, const void* buffer, std::size_t size) override {
        return ::write(fd(file), buffer, size < maxTransfer ? size : maxTransfer);
    }

    bool truncate(Handle file, std::uint64_t bytes) override {
        if (bytes > static_cast<std::uint64_t>(LLONG_MAX)) {
            errno = EINVAL;
            return false;
        }
        return ftruncate(fd(file), static_cast<off_t>(bytes)) == 0;
    }

    bool sync(Handle file) override {
        return fsync(fd(file)) == 0;
    }

    bool syncTogether(const Handle* files, std::size_t count) override {
#ifdef __linux__
        std::vector<dev_t> synced;
        for (std::size_t i = 0; i < count; ++i) {
            struct stat info {};
            if (fstat(fd(files[i]), &info) != 0) return false;
            if (std::find(synced.begin(), synced.end(), info.st_dev) != synced.end()) continue;
            if (syncfs(fd(files[i])) != 0) return false;
            synced.push_back(info.st_dev);
        }
        return true;
#else
        for (std::size_t i = 0; i < count; ++i) {
            if (fsync(fd(files[i])) != 0) return false;
        }
        return true;
#endif
    }

    std::int64_t copyRange(Handle source, Handle destination, std::size_t size) override {
#ifdef __linux__
        const ssize_t copied =
            copy_file_range(fd(source), nullptr, fd(destination), nullptr, size < maxTransfer ? size : maxTransfer, 0);
        if (copied >= 0) return copied;
        switch (errno) {
            // Older kernels, other file systems, or files these cannot copy between.
            case ENOSYS:
            case EXDEV:
            case EOPNOTSUPP:
            case EINVAL:
            case EBADF:
            case ETXTBSY:
                return copyNotSupported;
            default:
                return -1;
        }
#else
        return Os::copyRange(source, destination, size);
#endif
    }

    // The descriptor is gone after close() whatever it returns, so EINTR is not retried.
    bool close(Handle file) override {
        return ::close(fd(file)) == 0;
    }

    bool isSameFile(Path path, Handle file) override {
        const At name = at(path);
        struct stat named {};
        struct stat opened {};
        if (fstat(fd(file), &opened) != 0) return true;  // cannot tell
        return fstatat(name.folder, name.name, &named, 0) == 0 && sameFile(named, opened);
    }

    bool deleteFile(Path path) override {
        const At name = at(path);
        return unlinkat(name.folder, name.name, 0) == 0;
    }

    bool openForAppending(const char* path, Handle& file) override {
        const int descriptor = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        if (descriptor == -1) return false;
        file = descriptor;
        return true;
    }

    // One write, so that the line is not interleaved with other output.
    void showMessage(const char* text) override {
        std::string line;
        try {
            line = std::string("Marlune: ") + text + "\n";
        } catch (...) {
            return;  // no memory for the line: the result still tells the caller
        }
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t put = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return;
            done += static_cast<std::size_t>(put);
        }
    }

private:
    // Opened for reading, and `info` the one look at it that tells it is a regular file.
    static bool openRegularFile(Path path, Handle& file, struct stat& info) {
        const At name = at(path);
        const int descriptor = ::openat(name.folder, name.name, O_RDONLY | openFlags);
        if (descriptor == -1) return false;
        if (!isRegularFile(descriptor, info)) return refuse(descriptor);
        // Read from start to end: the system may read further ahead. Only a hint.
        if (info.st_size >= sequentialHintSize) posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
        file = descriptor;
        return true;
    }
};

}  // namespace

Os& nativeOs() {
    static PosixOs os;
    return os;
}

Os& unicodeOs() {
    return nativeOs();
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "";
    if (gmtime_r(&now, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string utcTimestampOf(std::int64_t modified) {
    const std::time_t when = static_cast<std::time_t>(modified / 1000000000);
    std::tm parts{};
    char text[32] = "";
    if (gmtime_r(&when, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

int lastSystemError() {
    return errno;
}

void setLastSystemError(int code) {
    errno = code;
}

bool isInterruption(int code) {
    return code == EINTR;
}

bool isFolderError(int code) {
    return code == EISDIR;
}

int notAFolderError() {
    return ENOTDIR;
}

namespace {
// GNU strerror_r returns its text; the POSIX one fills the buffer.
[[maybe_unused]] const char* messageOf(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* messageOf(int, const char* buffer) {
    return buffer;
}
}  // namespace

std::string systemWords(int code) {
    char buffer[256] = "";
    return messageOf(strerror_r(code, buffer, sizeof buffer), buffer);
}

ErrorKind kindOf(int code) {
    switch (code) {
        // No file can have a name too long for the system.
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
            return ErrorKind::missing;
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrorKind::denied;
        case EISDIR:
        case EINVAL:
        case ENXIO:
        case ENODEV:
            return ErrorKind::notAFile;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ErrorKind::diskFull;
        case EEXIST:
            return ErrorKind::exists;
        case EMFILE:
        case ENFILE:
            return ErrorKind::tooManyFiles;
        default:
            return ErrorKind::other;
    }
}

void extendErrorMode() {}

bool isPathSeparator(char c) {
    return c == '/';
}

unsigned ansiCodePage() {
    return 0;
}

bool isLeadByte(unsigned /*codePage*/, unsigned char /*byte*/) {
    return false;
}

}  // namespace marlune::platform
