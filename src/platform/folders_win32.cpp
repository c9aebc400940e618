#include <windows.h>

#include <cstring>
#include <cwchar>
#include <utility>

#include "platform/folders.h"
#include "platform/win32_paths.h"

namespace marlune::platform {
namespace {

std::string utf8Of(const wchar_t* text, int length = -1) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), bytes, nullptr, nullptr);
    if (length < 0) utf8.pop_back();
    return utf8;
}

std::wstring wide(const std::string& path) {
    std::wstring out;
    toWide(path.c_str(), out);
    return out;
}

bool isLink(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

Kind kindOfAttributes(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::file;
}

HANDLE openForAttributes(const std::string& path, DWORD flags) {
    return CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

}  // namespace

bool Os::listFolder(const std::string& path, std::vector<FolderEntry>& entries, int& error) {
    WIN32_FIND_DATAW data{};
    std::wstring pattern = wide(path);
    if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern += L'\\';
    pattern += L'*';
    // A long pattern needs the prefix itself: the folder's own name may be short.
    std::wstring prefixed;
    if (pattern.size() >= MAX_PATH - 12) toWide(utf8Of(pattern.c_str()).c_str(), prefixed);
    HANDLE find = FindFirstFileExW(prefixed.empty() ? pattern.c_str() : prefixed.c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    do {
        if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
        const Kind kind =
            isLink(data.dwFileAttributes, data.dwReserved0) ? Kind::link : kindOfAttributes(data.dwFileAttributes);
        // FindFirstFile gives no identity: a file's is looked up only where it is compared.
        entries.push_back(
            {utf8Of(data.cFileName), kind, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow, FileKey{}});
    } while (FindNextFileW(find, &data));
    const DWORD last = GetLastError();
    FindClose(find);
    if (last != ERROR_NO_MORE_FILES) {
        error = static_cast<int>(last);
        return false;
    }
    return true;
}

bool Os::namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                         int& error) {
    std::vector<FolderEntry> entries;
    if (!Os::listFolder(folder, entries, error)) return false;
    for (FolderEntry& entry : entries) {
        const std::string& name = entry.name;
        if (name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
            names.push_back(std::move(entry.name));
        }
    }
    return true;
}

Kind Os::kindOf(const std::string& path, std::uint64_t& size, FileKey& key) {
    HANDLE file = openForAttributes(path, 0);
    if (file == INVALID_HANDLE_VALUE) return Kind::missing;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!known) return Kind::missing;
    size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    key = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return kindOfAttributes(information.dwFileAttributes);
}

Kind Os::kindOfName(const std::string& path) {
    WIN32_FIND_DATAW data{};
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        HANDLE find = FindFirstFileExW(wide(path).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
            if (isLink(data.dwFileAttributes, data.dwReserved0)) return Kind::link;
        }
    }
    return kindOfAttributes(attributes);
}

bool Os::letOwnerWrite(const std::string&, int&) {
    return true;
}

bool Os::mayWriteInFolder(const std::string&, int&) {
    return true;
}

bool Os::createFolder(const std::string& path, int& error) {
    if (CreateDirectoryW(wide(path).c_str(), nullptr)) return true;
    error = static_cast<int>(GetLastError());
    return error == ERROR_ALREADY_EXISTS && Os::kindOfName(path) == Kind::folder;
}

// NTFS journals a new name itself; a folder cannot be flushed as a file is.
bool Os::syncFolder(const std::string&, int&) {
    return true;
}

std::string Os::resolvedPath(const std::string& path) {
    HANDLE file = openForAttributes(path, 0);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::wstring full(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, full.data(), static_cast<DWORD>(full.size()), 0);
    CloseHandle(file);
    if (length == 0 || length >= full.size()) return {};
    full.resize(length);
    if (full.rfind(LR"(\\?\UNC\)", 0) == 0) {
        full = L"\\\\" + full.substr(8);
    } else if (full.rfind(LR"(\\?\)", 0) == 0) {
        full = full.substr(4);
    }
    return foldedName(utf8Of(full.c_str()));
}

std::string Os::linkTarget(const std::string& path) {
    return Os::resolvedPath(path);
}

std::string foldedName(const std::string& name) {
    std::wstring folded;
    const int length = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    if (length <= 0) return name;
    folded.assign(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, folded.data(), length);
    folded.pop_back();
    if (!folded.empty()) CharLowerBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return utf8Of(folded.c_str());
}

std::size_t openFilesAllowed() {
    return 1u << 20;
}

unsigned processorsAllowed() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
}

std::string workingFolder() {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0) return {};
    std::wstring folder(length, L'\0');
    const DWORD written = GetCurrentDirectoryW(length, folder.data());
    if (written == 0 || written >= length) return {};
    return utf8Of(folder.c_str(), static_cast<int>(written));
}

}  // namespace marlune::platform

namespace marlune::platform {

bool Os::regularFileAttributes(const std::string& path, FileAttributes& attributes) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    attributes = FileAttributes{};
    attributes.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    attributes.modified = static_cast<std::int64_t>((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                                    data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool attributesDiffer(const FileAttributes& from, const FileAttributes& to) {
    return from.modified != to.modified;
}

namespace {

// The times of the open file `from` given to the open file `to`.
bool keepTimesOfHandles(Handle from, Handle to, int& error) {
    FILE_BASIC_INFO information{};
    if (!GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(from), FileBasicInfo, &information,
                                      sizeof information)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    FILE_BASIC_INFO times{};
    times.CreationTime = information.CreationTime;
    times.LastAccessTime = information.LastAccessTime;
    times.LastWriteTime = information.LastWriteTime;
    if (!SetFileInformationByHandle(reinterpret_cast<HANDLE>(to), FileBasicInfo, &times, sizeof times)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

// `to` never through a link; `from` through one where `followFrom` says so.
bool keepTimesOfName(const std::string& from, const std::string& to, bool followFrom, int& error) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE source = CreateFileW(wide(from).c_str(), FILE_READ_ATTRIBUTES, sharing, nullptr, OPEN_EXISTING,
                                      followFrom ? FILE_FLAG_BACKUP_SEMANTICS : flags, nullptr);
    const HANDLE target = source == INVALID_HANDLE_VALUE
                              ? INVALID_HANDLE_VALUE
                              : CreateFileW(wide(to).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, sharing,
                                            nullptr, OPEN_EXISTING, flags, nullptr);
    const bool kept = target != INVALID_HANDLE_VALUE &&
                      keepTimesOfHandles(reinterpret_cast<Handle>(source), reinterpret_cast<Handle>(target), error);
    if (target == INVALID_HANDLE_VALUE) error = static_cast<int>(GetLastError());
    if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
    if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
    return kept;
}

}  // namespace

bool Os::keepTimesAndMode(Handle from, Handle to, int& error) {
    return keepTimesOfHandles(from, to, error);
}

bool Os::keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) {
    return keepTimesOfName(from, to, false, error);
}

bool Os::keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) {
    return keepTimesOfName(from, to, true, error);
}

bool Os::readLink(const std::string& path, std::string& target, int& error) {
    const HANDLE link =
        CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (link == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    // The reparse data of a symbolic link: its tag, then the names as the link holds them.
    std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    const bool read = DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                      static_cast<DWORD>(data.size()), &got, nullptr) != 0;
    error = read ? 0 : static_cast<int>(GetLastError());
    CloseHandle(link);
    DWORD tag = 0;
    if (read && got >= 20) std::memcpy(&tag, data.data(), sizeof tag);
    if (!read || tag != IO_REPARSE_TAG_SYMLINK || got < 20) {
        if (read) error = ERROR_NOT_A_REPARSE_POINT;
        return false;
    }
    USHORT printOffset = 0;
    USHORT printLength = 0;
    std::memcpy(&printOffset, data.data() + 12, 2);
    std::memcpy(&printLength, data.data() + 14, 2);
    const std::size_t start = 20u + printOffset;
    if (start + printLength > got) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    std::wstring name(printLength / sizeof(wchar_t), L'\0');
    std::memcpy(name.data(), data.data() + start, printLength);
    target = utf8Of(name.c_str(), static_cast<int>(name.size()));
    return true;
}

bool Os::makeLink(const std::string& target, const std::string& path, bool toFolder, int& error) {
    std::wstring text;
    text.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, target.c_str(), -1, nullptr, 0)));
    if (text.empty() ||
        !MultiByteToWideChar(CP_UTF8, 0, target.c_str(), -1, text.data(), static_cast<int>(text.size()))) {
        error = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    // Without the right to make links, Windows allows them in developer mode alone.
    const DWORD flags = (toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;
    if (CreateSymbolicLinkW(wide(path).c_str(), text.c_str(), flags)) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

bool Os::renameOver(const std::string& from, const std::string& to, int& error) {
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

bool Os::createScratch(Handle& file) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"mrl", 0, name) == 0) return false;
    const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        DeleteFileW(name);
        SetLastError(error);
        return false;
    }
    file = reinterpret_cast<Handle>(handle);
    return true;
}

bool Os::rewind(Handle file) {
    LARGE_INTEGER start{};
    return SetFilePointerEx(reinterpret_cast<HANDLE>(file), start, nullptr, FILE_BEGIN) != 0;
}

}  // namespace marlune::platform
