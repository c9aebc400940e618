// The file system as the command walks and names it: the one place where
// Windows and POSIX differ for it. Names are UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "files.h"

namespace marlune::cli {

enum class Kind { file, folder, link, other, missing };

struct Entry {
    std::string name;
    Kind kind;  // a link as a link, not what it leads to
    std::uint64_t size;
};

// What a name leads to, through links, and its size.
Kind kindOf(const std::string& path, std::uint64_t& size);
// A folder's entries but . and ..; says why when it cannot read them.
bool listFolder(const std::string& path, std::vector<Entry>& entries, std::string& why);
// The file or folder a name leads to, through links.
bool identity(const std::string& path, FileId& id, Kind& kind);
// A name as the file system compares names: in lower case on Windows.
std::string foldedName(const std::string& name);
bool createFolder(const std::string& path, std::string& why);
// Puts a folder's entries on stable storage.
bool syncFolder(const std::string& path, std::string& why);
std::filesystem::path fsPath(const std::string& path);

#ifdef _WIN32
inline constexpr char separator = '\\';
inline bool isSeparator(char c) {
    return c == '/' || c == separator;
}
#else
inline constexpr char separator = '/';
inline bool isSeparator(char c) {
    return c == separator;
}
#endif

}  // namespace marlune::cli
