// Folders as a run walks and makes them, and files known by identity: the one
// place where Windows and POSIX differ for it. Names are UTF-8; on Windows every
// path goes through the library's one long-path rule (toWide).
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/os.h"

namespace marlune::platform {

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

// A folder's entries but . and ..; false with the system's error code when it cannot be read.
bool listFolder(const std::string& path, std::vector<FolderEntry>& entries, int& error);
// The names in the folder that end with `ending`, nothing else looked up about them:
// a listing as cheap as the system has. False with the system's code when it cannot be read.
bool namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names, int& error);
// What the name leads to through links, with its size and identity.
Kind kindOf(const std::string& path, std::uint64_t& size, FileKey& key);
// What the name itself is: a link is a link.
Kind kindOfName(const std::string& path);
// Gives the folder `path` (never through a link) its owner's permission to write
// where it lacks it, so that names can be made in it; true when it has it now (and
// on Windows, where a folder's read-only attribute keeps nobody from doing so).
bool letOwnerWrite(const std::string& path, int& error);
// Creates one folder; true also when a folder is there already (made meanwhile by another).
bool createFolder(const std::string& path, int& error);
// Puts the folder's entries on stable storage (nothing to do where names are journalled).
bool syncFolder(const std::string& path, int& error);
// The full path with every link resolved; empty when it cannot be found.
std::string resolvedPath(const std::string& path);
// Where the link `path` leads, as resolvedPath gives it, also when nothing is
// there any more (its folder resolved, the name appended); empty when that
// cannot be told (on Windows: whenever the target is missing).
std::string linkTarget(const std::string& path);
// A name as the file system compares names: in lower case on Windows.
std::string foldedName(const std::string& name);
// A regular file as a mirror compares it with its copy.
struct FileAttributes {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in FileState's units
    std::uint32_t mode = 0;     // the permission bits (none on Windows)
    std::uint64_t owner = 0;
    std::uint64_t group = 0;
};
// A regular file's attributes, the name not followed; false for anything else or nothing.
bool regularFileAttributes(const std::string& path, FileAttributes& attributes);
// Whether the file `to` lacks something that keepTimesAndMode would give it from
// `from`: its modification time, permission bits, and owner and group where the
// caller may set them (a user who is not root keeps the owner, and gives only a
// group of their own to a file of their own).
bool attributesDiffer(const FileAttributes& from, const FileAttributes& to);
// Gives the open file `to` the modification time, permission bits and (where the
// caller may set them) owner and group of the open file `from`, setting only what
// differs. On Windows the times alone: a read-only attribute would keep a later
// copy from replacing it.
bool keepTimesAndMode(Handle from, Handle to, int& error);
// The same for the regular file `to` by its name, never through a link, from the file `from` leads to.
bool keepFileTimesAndMode(const std::string& from, const std::string& to, int& error);
// Gives the folder `to` the modification time and permission bits (owner and group where
// the caller may set them; on Windows the times alone) of the folder `from`, never through a link.
bool keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error);
// The text a symbolic link holds; false (with the system's code) when `path` is no link.
bool readLink(const std::string& path, std::string& target, int& error);
// Makes the symbolic link `path` holding `target`, failing when anything has the name;
// `toFolder` says what it leads to, which Windows must know.
bool makeLink(const std::string& target, const std::string& path, bool toFolder, int& error);
// Gives the file or link `from` the name `to` in one step, replacing a file or link there.
bool renameOver(const std::string& from, const std::string& to, int& error);
// How many files the process may hold open, its soft limit raised to the hard one first.
std::size_t openFilesAllowed();

// The process's working folder (UTF-8); empty when the system does not tell it.
std::string workingFolder();

#ifdef _WIN32
inline constexpr char pathSeparator = '\\';
#else
inline constexpr char pathSeparator = '/';
#endif

}  // namespace marlune::platform
