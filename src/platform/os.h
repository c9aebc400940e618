// The operating-system services the library uses, behind one small interface.
// posix.cpp and win32.cpp each implement it for their platform; tests put their
// own Os in front of the native one to watch calls or make any of them fail.
//
// A call that fails leaves the system's error code where lastSystemError() finds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace marlune::platform {

// A native file: a file descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle noHandle = -1;
// The size of a source that ends only where its reads end (a pipe, a stream).
inline constexpr std::uint64_t unknownSize = UINT64_MAX;

// A file's name: `text` as given, or, where `folder` is a folder held open
// (Os::openFolder), the last component of `text` inside that folder, wherever
// the folder is by then. A plain path converts to one.
struct Path {
    Path(const char* given) : text(given) {}  // NOLINT(google-explicit-constructor)
    Path(Handle in, const char* given) : folder(in), text(given) {}
    Handle folder = noHandle;
    const char* text;
};

// Which file an open file is and what it holds, as far as the system tells
// without reading it: its identity, size, and the times of its last change of
// data and of anything at all (ctime; ChangeTime on Windows).
struct FileState {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    // POSIX alone, and not compared: what keepSeenTimesAndMode gives a copy.
    std::uint32_t mode = 0;  // with the kind's bits
    std::uint64_t owner = 0;
    std::uint64_t group = 0;
    std::int64_t accessed = 0;

    bool isSameFile(const FileState& other) const { return volume == other.volume && index == other.index; }
    // The same file, holding the same data as far as size and times tell (a
    // link added or removed changes the change time alone).
    bool holdsSameData(const FileState& other) const {
        return isSameFile(other) && size == other.size && modified == other.modified;
    }
    bool operator==(const FileState& other) const {
        return isSameFile(other) && size == other.size && modified == other.modified && changed == other.changed;
    }
    bool operator!=(const FileState& other) const { return !(*this == other); }
};

// Who may open a file that createNew makes: whom the process's file mode mask
// lets (the usual), or its owner alone, as a copy of a private file must be
// while it is written (POSIX; on Windows the folder's permissions either way).
enum class Access { usual, ownerAlone };

// What a name is, or leads to.
enum class Kind { file, folder, link, other, missing };

// A file or folder as the file system knows it, whatever the names that lead to it.
struct FileKey {
    std::uint64_t device = 0;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const FileKey& other) const {
        return std::tie(device, high, low) == std::tie(other.device, other.high, other.low);
    }
    bool operator!=(const FileKey& other) const { return !(*this == other); }
    std::uint64_t hash() const {
        return (device * 0x9E3779B97F4A7C15u) ^ (high * 0xC2B2AE3D27D4EB4Fu) ^ (low * 0x165667B19E3779F9u);
    }
};

struct FolderEntry {
    std::string name;
    Kind kind;           // a link as a link, not what it leads to
    std::uint64_t size;  // of a file
    FileKey key;         // of a file or folder
};

// A regular file as a mirror compares it with its copy.
struct FileAttributes {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in FileState's units
    std::int64_t changed = 0;   // the inode's change time (POSIX); 0: not known
    std::uint32_t mode = 0;     // the permission bits (none on Windows)
    std::uint64_t owner = 0;
    std::uint64_t group = 0;
};

class Os {
public:
    virtual ~Os() = default;

    // Opens an existing regular file for reading, others may go on reading and
    // writing it, and learns its size (unknownSize where only the end tells).
    virtual bool openForReading(Path path, Handle& file, std::uint64_t& size) = 0;
    // The same, with the state fileState gives of the file as it was opened: one
    // look where the system tells both at once.
    virtual bool openForReadingWithState(Path path, Handle& file, FileState& state);
    // Creates the file, or truncates it when it exists, for writing that nobody
    // else shares. Fails without truncating anything when the file is `source`.
    virtual bool createForWriting(const char* path, Handle source, Handle& file) = 0;
    // Creates `path` for writing that nobody else shares, failing when anything is
    // there already: it never follows a link or reuses a file. `access` says who
    // may open it until its permissions are set otherwise.
    virtual bool createNew(Path path, Handle& file, Access access) = 0;
    // What `path` names now: nothing, a regular file, the open file `source` itself
    // (under this or another name), or anything else (a folder, a device).
    enum class Name { nothing, regularFile, source, other };
    virtual Name inspect(Path path, Handle source) = 0;
    // Marks `file`, just made by createNew, as being written for as long as it is
    // open, so that removeIfUnused (in any process) leaves it: an advisory lock on
    // POSIX; on Windows the file is open without delete sharing, which does that.
    // False when someone else marked it first.
    virtual bool markInUse(Handle file) = 0;
    // Removes the file `path` unless it is marked in use.
    enum class Removal { removed, inUse, failed };
    virtual Removal removeIfUnused(const char* path) = 0;
    // Whether the existing file `path` may be opened for writing (its permissions,
    // a read-only attribute); nothing is changed.
    virtual bool mayWrite(Path path) = 0;
    // Gives `file` the permissions of the file `path` and, where the caller may set
    // them, its owner and group.
    virtual bool copyPermissions(Path path, Handle file) = 0;
    // Gives the open file `file`, named `from`, the name `to` in one step, leaving it
    // open. With `replace` false only while `to` names nothing: else it fails with
    // the system's code for "exists" and changes nothing. Both names lie in one folder.
    virtual bool move(Handle file, Path from, Path to, bool replace) = 0;
    // Puts the folder that holds `path` (its folder handle, where it has one) on
    // stable storage: which names it has, and the files they name. Nothing to do
    // where the move itself is write-through.
    virtual bool syncFolderOf(Path path) = 0;
    // Opens the folder `path` so that names in it can be given relative to it
    // (Path): on POSIX a descriptor that later calls work from, so that a rename of
    // the folder meanwhile changes nothing; on Windows, which makes and removes
    // names by path only, a handle without delete sharing, so that the folder
    // cannot be renamed or removed while it is open. Released by close().
    virtual bool openFolder(const char* path, Handle& folder) = 0;
    // The state of the open `file` now.
    virtual bool fileState(Handle file, FileState& state) = 0;
    // Removes the file `path` names only while it is the file `expected` describes,
    // and unchanged since: `changed` and `elsewhere` (another file, or none, has the
    // name) remove nothing. A writer that still has the file open can change it
    // after the check: the system has no "remove if unchanged".
    enum class Deletion { removed, changed, elsewhere, failed };
    virtual Deletion deleteUnchanged(Path path, const FileState& expected) = 0;
    // The file that `path` leads to through symbolic links; `path` itself when it
    // is no link, or one that leads nowhere.
    virtual std::string followLinks(const char* path) { return path; }
    // Reads at most `size` bytes: the count read (0 at end of file), or -1 on error.
    virtual std::int64_t read(Handle file, void* buffer, std::size_t size) = 0;
    // Writes at most `size` bytes: the count written (possibly fewer), or -1 on error.
    virtual std::int64_t write(Handle file, const void* buffer, std::size_t size) = 0;
    // Cuts the file to `bytes` bytes; the file position is not used afterwards.
    virtual bool truncate(Handle file, std::uint64_t bytes) = 0;
    // Puts the file's data on stable storage.
    virtual bool sync(Handle file) = 0;
    // Puts the data of all `count` files on stable storage in as few flushes as the
    // system has: on Linux one syncfs per file system they lie on (which takes the
    // names made there too), elsewhere each file's own sync. False when any flush
    // failed: the caller then syncs each file alone to learn which.
    virtual bool syncTogether(const Handle* files, std::size_t count) = 0;
    // Releases the file whatever the result.
    virtual bool close(Handle file) = 0;
    // False when `path` is known to name another file than the open `file` now
    // (it was renamed over or removed meanwhile); true when it names the same
    // file or the system cannot tell.
    virtual bool isSameFile(Path /*path*/, Handle /*file*/) { return true; }
    // Copies at most `size` bytes from `source`'s position to `destination`'s inside
    // the system, moving both positions on: the count copied, -1 on error, or
    // copyNotSupported when the system cannot copy between these two files. 0 may
    // mean the end of the source or a file system that copies nothing this way.
    static constexpr std::int64_t copyNotSupported = -2;
    virtual std::int64_t copyRange(Handle /*source*/, Handle /*destination*/, std::size_t /*size*/) {
        return copyNotSupported;
    }
    virtual bool deleteFile(Path path) = 0;
    // Opens `path` for writes that each land at its end, made when missing; others
    // may append meanwhile. Stand-ins append nowhere.
    virtual bool openForAppending(const char* /*path*/, Handle& /*file*/) { return false; }
    // Folders and links. Paths are UTF-8 whichever Os this is; the defaults are the
    // system's own (folders_posix.cpp, folders_win32.cpp).
    // A folder's entries but . and ..; false with the system's error code when it cannot be read.
    virtual bool listFolder(const std::string& path, std::vector<FolderEntry>& entries, int& error);
    // The names in the folder that end with `ending`, nothing else looked up about them:
    // a listing as cheap as the system has. False with the system's code when it cannot be read.
    virtual bool namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                                 int& error);
    // What the name leads to through links, with its size and identity.
    virtual Kind kindOf(const std::string& path, std::uint64_t& size, FileKey& key);
    // What the name itself is: a link is a link.
    virtual Kind kindOfName(const std::string& path);
    // Gives the folder `path` (never through a link) its owner's permission to write
    // where it lacks it, so that names can be made in it; true when it has it now (and
    // on Windows, where a folder's read-only attribute keeps nobody from doing so).
    virtual bool letOwnerWrite(const std::string& path, int& error);
    // Whether names can be made in the existing folder `path` (its permissions, a read-only
    // file system), nothing changed; false with the system's code. Windows answers true:
    // its permissions are the copies' own to meet.
    virtual bool mayWriteInFolder(const std::string& path, int& error);
    // Creates one folder; true also when a folder is there already (made meanwhile by another).
    virtual bool createFolder(const std::string& path, int& error);
    // Puts the folder's entries on stable storage (nothing to do where names are journalled).
    virtual bool syncFolder(const std::string& path, int& error);
    // The full path with every link resolved; empty when it cannot be found.
    virtual std::string resolvedPath(const std::string& path);
    // Where the link `path` leads, as resolvedPath gives it, also when nothing is
    // there any more (its folder resolved, the name appended); empty when that
    // cannot be told (on Windows: whenever the target is missing).
    virtual std::string linkTarget(const std::string& path);
    // A regular file's attributes, the name not followed; false for anything else or nothing.
    virtual bool regularFileAttributes(const std::string& path, FileAttributes& attributes);
    // Gives the open file `to` the modification time, permission bits and (where the
    // caller may set them) owner and group of the open file `from`, setting only what
    // differs. On Windows the times alone: a read-only attribute would keep a later
    // copy from replacing it.
    virtual bool keepTimesAndMode(Handle from, Handle to, int& error);
    // The same, where `seen` is the state of `from` that openForReadingWithState took:
    // the system need not look at `from` again (POSIX). Its times and mode as they were then.
    virtual bool keepSeenTimesAndMode(Handle from, const FileState& seen, Handle to, int& error) {
        static_cast<void>(seen);
        return keepTimesAndMode(from, to, error);
    }
    // The same for the regular file `to` by its name, never through a link, from the file `from` leads to.
    virtual bool keepFileTimesAndMode(const std::string& from, const std::string& to, int& error);
    // Gives the folder `to` the modification time and permission bits (owner and group where
    // the caller may set them; on Windows the times alone) of the folder `from`, never through a link.
    virtual bool keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error);
    // The text a symbolic link holds; false (with the system's code) when `path` is no link.
    virtual bool readLink(const std::string& path, std::string& target, int& error);
    // Makes the symbolic link `path` holding `target`, failing when anything has the name;
    // `toFolder` says what it leads to, which Windows must know.
    virtual bool makeLink(const std::string& target, const std::string& path, bool toFolder, int& error);
    // Gives the file or link `from` the name `to` in one step, replacing a file or link there.
    virtual bool renameOver(const std::string& from, const std::string& to, int& error);
    // A file with no name, for the process's own use, in the system's folder for temporary
    // files and gone once closed: what a run holds that may outgrow its memory.
    virtual bool createScratch(Handle& file);
    // Moves the position of `file` back to its start.
    virtual bool rewind(Handle file);
    // Shows a failure to the user and waits until it is acknowledged where that applies.
    virtual void showMessage(const char* text) = 0;
};

// The operating system this library was built for, taking paths in the system's
// ANSI code page (on POSIX: bytes, as they are).
Os& nativeOs();
// The same, taking UTF-8 paths (on Windows, every name the system can hold).
Os& unicodeOs();

// The system's error code of this thread's last failed call (errno, GetLastError()),
// and the means for a stand-in Os to set it.
int lastSystemError();
void setLastSystemError(int code);
// A call that was interrupted before it did anything and is simply made again.
bool isInterruption(int code);
// The code a folder opened as a file gives (EISDIR, ERROR_DIRECTORY).
bool isFolderError(int code);
// The code for a name that is no folder where one is needed (ENOTDIR, ERROR_DIRECTORY).
int notAFolderError();
// The code in words: the system's on POSIX; "system error N" on Windows, whose
// messages come in the user's language and code page.
std::string systemWords(int code);
// What an error code says, as far as the library tells errors apart; `badName`
// is only ever a UTF-8 path that is no valid UTF-8.
// `tooManyFiles`: the process or the system has no file handle left.
enum class ErrorKind { missing, denied, notAFile, badName, diskFull, exists, tooManyFiles, other };
ErrorKind kindOf(int code);

// Now, in UTC: "2026-12-09T04:25:14Z".
std::string utcTimestamp();
// A file's modification time (FileState's units), in UTC as utcTimestamp gives it.
std::string utcTimestampOf(std::int64_t modified);

// Called once at load: keeps the system's own error dialogs out of the host's way.
void extendErrorMode();

// Path syntax of the platform: "/" on POSIX, "\" and "/" on Windows.
bool isPathSeparator(char c);

// The code page in which paths are given (0 where paths are not in a code page
// with double-byte characters), and whether `byte` starts a double-byte character in it.
unsigned ansiCodePage();
bool isLeadByte(unsigned codePage, unsigned char byte);

}  // namespace marlune::platform
