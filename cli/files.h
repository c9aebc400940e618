// The files a batch works on: named on the command line, found in folders, or
// read from a list. Names are UTF-8 throughout, as the library takes them.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace marlune::cli {

struct Gathering {
    bool recursive = false;    // folders are walked
    bool followLinks = false;  // symbolic links (junctions) to folders met in a walk are walked too
    bool sizes = false;        // the files' sizes are wanted (for the progress line)
};

// Something that could not be gathered, reported as a failure of its own.
struct Unreadable {
    std::string path;
    std::string why;
};

struct FileList {
    std::vector<std::string> files;
    std::vector<std::uint64_t> sizes;  // beside `files` when sizes were asked for
    std::vector<Unreadable> unreadable;
    std::uint64_t linksNotFollowed = 0;
};

// A name from the command line or from a list: a folder is walked when recursive
// (in name order, so that the same tree gives the same list); anything else is
// taken as it is, for the library to judge.
void addOperand(FileList& list, const std::string& path, const Gathering& gathering);

enum class ListRead { done, unreadable, holdsNul };

// Reads names from `listPath` ("-": standard input), one a line (a CR before
// the line's end dropped) or NUL-separated. A list of lines that holds a NUL is
// refused whole (holdsNul): its names were meant for -0, and half a run is worse
// than none. Says why when the list cannot be read.
ListRead addFromList(FileList& list, const std::string& listPath, bool nulSeparated, const Gathering& gathering,
                     std::string& why);

bool endsWith(const std::string& text, const std::string& end);

// What the library writes a copy to before it moves it into place.
inline constexpr const char* partialSuffix = ".marlune-partial";

// The .kv name the library gives a path (empty when it gives none).
std::string kvName(const std::string& path);

std::string joinPath(const std::string& folder, const std::string& name);
// The folder part of a path: "." for a bare name, the root itself for a root.
std::string folderOf(const std::string& path);
bool isFolder(const std::string& path);
// A name from a list that stays under the folder it is put in: relative, no "..".
bool staysInside(const std::string& relative);
// Whether `path` is `folder` or lies under it, as the file system resolves both.
bool isWithin(const std::string& path, const std::string& folder);

// Creates the folder and those above it that are missing. With `durable`, each new
// name is put on stable storage in its parent, so that what is moved into the
// folder later stays reachable after a crash. Says why when it cannot.
bool makeFolders(const std::string& folder, bool durable, std::string& why);

// A file as the file system knows it, whatever the names that lead to it.
using FileId = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;

// The regular file (or the one a link leads to) at the name; false for anything else or nothing.
bool regularFileId(const std::string& path, FileId& id);

// Where a name lies: its folder as the file system knows it, and its last
// component (in lower case on Windows, whose names ignore case).
struct Place {
    FileId folder;
    std::string name;
    bool operator<(const Place& other) const { return std::tie(folder, name) < std::tie(other.folder, other.name); }
};

// False when the name's folder cannot be found.
bool placeOf(const std::string& path, Place& place);

}  // namespace marlune::cli
