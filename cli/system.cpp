#include "system.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "console.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace marlune::cli {

#ifdef _WIN32

namespace {

// A full path with the \\?\ prefix, so that names past MAX_PATH work.
std::wstring longPath(const std::string& path) {
    const std::wstring wide = wideOf(path);
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool isLink(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

Kind kindOfAttributes(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::file;
}

}  // namespace

// Windows follows links itself when asked for attributes.
Kind kindOf(const std::string& path, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(longPath(path).c_str(), GetFileExInfoStandard, &data)) return Kind::missing;
    size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return kindOfAttributes(data.dwFileAttributes);
}

bool listFolder(const std::string& path, std::vector<Entry>& entries, std::string& why) {
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = longPath(path) + L"\\*";
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        why = "cannot read the folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    do {
        if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
        const Kind kind =
            isLink(data.dwFileAttributes, data.dwReserved0) ? Kind::link : kindOfAttributes(data.dwFileAttributes);
        entries.push_back(
            {utf8Of(data.cFileName), kind, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

// The file or folder a name leads to, through links.
bool identity(const std::string& path, FileId& id, Kind& kind) {
    HANDLE file = CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    id = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    kind = kindOfAttributes(information.dwFileAttributes);
    return known;
}

std::string foldedName(const std::string& name) {
    std::wstring wide = wideOf(name);
    if (!wide.empty()) CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return utf8Of(wide.c_str());
}

bool createFolder(const std::string& path, std::string& why) {
    if (CreateDirectoryW(longPath(path).c_str(), nullptr)) return true;
    why = "error " + std::to_string(GetLastError());
    return false;
}

// NTFS journals a new name itself; a folder cannot be flushed as a file is.
bool syncFolder(const std::string&, std::string&) {
    return true;
}

std::filesystem::path fsPath(const std::string& path) {
    return std::filesystem::path(wideOf(path));
}

#else

namespace {

Kind kindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return Kind::file;
    if (S_ISDIR(mode)) return Kind::folder;
    if (S_ISLNK(mode)) return Kind::link;
    return Kind::other;
}

}  // namespace

Kind kindOf(const std::string& path, std::uint64_t& size) {
    struct stat information {};
    if (stat(path.c_str(), &information) != 0) return Kind::missing;
    size = static_cast<std::uint64_t>(information.st_size);
    return kindOfMode(information.st_mode);
}

bool listFolder(const std::string& path, std::vector<Entry>& entries, std::string& why) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), closedir);
    if (!folder) {
        why = std::string("cannot read the folder: ") + std::strerror(errno);
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat information {};
        const std::string full = path + (path.back() == '/' ? "" : "/") + name;
        if (lstat(full.c_str(), &information) != 0) continue;  // gone meanwhile
        entries.push_back({name, kindOfMode(information.st_mode), static_cast<std::uint64_t>(information.st_size)});
    }
    if (errno != 0) {
        why = std::string("reading the folder failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// The file or folder a name leads to, through links.
bool identity(const std::string& path, FileId& id, Kind& kind) {
    struct stat information {};
    if (stat(path.c_str(), &information) != 0) return false;
    id = {static_cast<std::uint64_t>(information.st_dev), static_cast<std::uint64_t>(information.st_ino), 0};
    kind = kindOfMode(information.st_mode);
    return true;
}

std::string foldedName(const std::string& name) {
    return name;
}

bool createFolder(const std::string& path, std::string& why) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    why = std::strerror(errno);
    return false;
}

bool syncFolder(const std::string& path, std::string& why) {
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && fsync(folder) == 0;
    if (!synced) why = std::strerror(errno);
    if (folder >= 0) close(folder);
    return synced;
}

std::filesystem::path fsPath(const std::string& path) {
    return std::filesystem::path(path);
}

#endif

}  // namespace marlune::cli
