// The operating-system layer on Windows.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/win32_message_box.h"
#include "platform/win32_paths.h"

namespace marlune::platform {
namespace {

// Largest transfer per call: the count fits a DWORD, and an int64 everywhere.
constexpr std::size_t maxTransfer = 1u << 30;

HANDLE nativeHandle(Handle file) {
    return reinterpret_cast<HANDLE>(file);
}

Handle portableHandle(HANDLE file) {
    return reinterpret_cast<Handle>(file);
}

DWORD transferSize(std::size_t size) {
    return static_cast<DWORD>(size < maxTransfer ? size : maxTransfer);
}

// Both files may be inherited by child processes of the host.
SECURITY_ATTRIBUTES inheritable() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;
    return attributes;
}

// Closes a handle that was not kept, with the error that refused it intact.
bool refuse(HANDLE file, DWORD error) {
    CloseHandle(file);
    SetLastError(error);
    return false;
}

// A pipe, console or device would block or misbehave: only files on disk are copied.
bool keepIfOnDisk(HANDLE file, Handle& kept) {
    if (file == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(file) != FILE_TYPE_DISK) return refuse(file, ERROR_INVALID_HANDLE);
    kept = portableHandle(file);
    return true;
}

bool moveTo(HANDLE file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

MessageBoxFunction messageBox = MessageBoxA;

// Through the handle: which file it is, its size, and its write and change times.
bool stateOf(HANDLE file, FileState& state) {
    BY_HANDLE_FILE_INFORMATION information{};
    FILE_BASIC_INFO times{};
    if (!GetFileInformationByHandle(file, &information) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
        return false;
    }
    state.volume = information.dwVolumeSerialNumber;
    state.index = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
    state.size = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    state.modified = times.LastWriteTime.QuadPart;
    state.changed = times.ChangeTime.QuadPart;
    return true;
}

bool sameFile(HANDLE named, HANDLE opened) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return GetFileInformationByHandle(named, &a) && GetFileInformationByHandle(opened, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Paths are in the ANSI code page, through the A functions, as the original
// functions have always taken them; or UTF-8, through the wide ones.
class WindowsOs final : public Os {
public:
    explicit WindowsOs(bool utf8) : utf8_(utf8) {}

    bool openForReading(Path path, Handle& file, std::uint64_t& size) override {
        SECURITY_ATTRIBUTES attributes = inheritable();
        Handle opened = noHandle;
        if (!keepIfOnDisk(createFile(path.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN),
                          opened)) {
            // A folder cannot be opened this way: say what it is rather than "access denied".
            const DWORD error = GetLastError();
            const DWORD found = attributesOf(path.text);
            SetLastError(found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_DIRECTORY
                                                                                                : error);
            return false;
        }
        LARGE_INTEGER fileSize{};
        if (!GetFileSizeEx(nativeHandle(opened), &fileSize)) return refuse(nativeHandle(opened), GetLastError());
        file = opened;
        size = static_cast<std::uint64_t>(fileSize.QuadPart);
        return true;
    }

    // Nobody else may share the destination: when it is the source itself (even
    // under another name), the open fails with a sharing violation before
    // CREATE_ALWAYS truncates anything. So `source` is not needed here.
    bool createForWriting(const char* path, Handle /*source*/, Handle& file) override {
        SECURITY_ATTRIBUTES attributes = inheritable();
        return keepIfOnDisk(createFile(path, GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
                            file);
    }

    // DELETE: the file is moved into place through its own handle, which shares
    // nothing, so that nobody else removes it while it is written.
    bool createNew(Path path, Handle& file, Access /*access*/) override {
        SECURITY_ATTRIBUTES attributes = inheritable();
        return keepIfOnDisk(
            createFile(path.text, GENERIC_WRITE | DELETE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL), file);
    }

    // createNew shared no delete access: that is the mark.
    bool markInUse(Handle /*file*/) override { return true; }

    Removal removeIfUnused(const char* path) override {
        if (deleteFile(path)) return Removal::removed;
        return GetLastError() == ERROR_SHARING_VIOLATION ? Removal::inUse : Removal::failed;
    }

    bool mayWrite(Path path) override {
        HANDLE file = createFile(path.text, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        return file != INVALID_HANDLE_VALUE && CloseHandle(file) != 0;
    }

    // A new file takes its permissions from the folder, as the one it replaces
    // did; a read-only one is never replaced (mayWrite).
    bool copyPermissions(Path /*path*/, Handle /*file*/) override { return true; }

    // Through the file's own handle, which nobody else shares. Flushed again once
    // moved, so that the new name goes to the disk with the file's metadata.
    bool move(Handle file, Path /*from*/, Path to, bool replace) override {
        std::wstring target;
        if (!(utf8_ ? wideName(to.text, target) : ansiToWide(to.text, target))) return false;
        const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
        auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = replace ? TRUE : FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = nameBytes;
        std::memcpy(rename->FileName, target.c_str(), nameBytes + sizeof(wchar_t));
        return SetFileInformationByHandle(nativeHandle(file), FileRenameInfo, rename,
                                          static_cast<DWORD>(buffer.size())) != 0 &&
               FlushFileBuffers(nativeHandle(file)) != 0;
    }

    Name inspect(Path path, Handle source) override {
        const DWORD found = attributesOf(path.text);
        if (found == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND ? Name::nothing : Name::other;
        }
        if (found & FILE_ATTRIBUTE_DIRECTORY) return Name::other;
        HANDLE named = openAttributes(path.text);
        if (named == INVALID_HANDLE_VALUE) return Name::other;
        const bool onDisk = GetFileType(named) == FILE_TYPE_DISK;
        const bool isSource = source != noHandle && sameFile(named, nativeHandle(source));
        CloseHandle(named);
        return !onDisk ? Name::other : isSource ? Name::source : Name::regularFile;
    }

    bool isSameFile(Path path, Handle file) override {
        HANDLE named = openAttributes(path.text);
        if (named == INVALID_HANDLE_VALUE) return false;
        const bool same = sameFile(named, nativeHandle(file));
        CloseHandle(named);
        return same;
    }

    // A folder cannot be flushed without administrator rights; the move flushes
    // the file whose name changed instead.
    bool syncFolderOf(Path /*path*/) override { return true; }

    // Read access and no delete sharing: while the handle is open, nobody renames
    // or removes the folder (a rename needs delete access to it).
    bool openFolder(const char* path, Handle& folder) override {
        HANDLE opened = createFile(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        if (opened == INVALID_HANDLE_VALUE) return false;
        folder = portableHandle(opened);
        return true;
    }

    bool fileState(Handle file, FileState& state) override { return stateOf(nativeHandle(file), state); }

    // Checked and removed through one handle of its own, so that the name cannot
    // lead to another file between the two. Through a symbolic link, the file it
    // leads to is compared and the link removed, by name.
    Deletion deleteUnchanged(Path path, const FileState& expected) override {
        const DWORD attributes = attributesOf(path.text);
        const bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        HANDLE named = createFile(path.text, DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0);
        if (named == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Deletion::elsewhere
                                                                                  : Deletion::failed;
        }
        FileState now;
        Deletion result = Deletion::failed;
        if (!stateOf(named, now)) {
            result = Deletion::failed;
        } else if (!now.isSameFile(expected)) {
            result = Deletion::elsewhere;
        } else if (now != expected) {
            result = Deletion::changed;
        } else {
            FILE_DISPOSITION_INFO disposition{};
            disposition.DeleteFile = TRUE;
            const bool removed =
                link ? deleteFile(path)
                     : SetFileInformationByHandle(named, FileDispositionInfo, &disposition, sizeof disposition) != 0;
            result = removed ? Deletion::removed : Deletion::failed;
        }
        const DWORD error = GetLastError();
        CloseHandle(named);
        SetLastError(error);
        return result;
    }

    std::int64_t read(Handle file, void* buffer, std::size_t size) override {
        DWORD got = 0;
        if (!ReadFile(nativeHandle(file), buffer, transferSize(size), &got, nullptr)) return -1;
        return got;
    }

    std::int64_t write(Handle file, const void* buffer, std::size_t size) override {
        DWORD put = 0;
        if (!WriteFile(nativeHandle(file), buffer, transferSize(size), &put, nullptr)) return -1;
        return put;
    }

    bool truncate(Handle file, std::uint64_t bytes) override {
        return moveTo(nativeHandle(file), bytes) && SetEndOfFile(nativeHandle(file)) != 0;
    }

    // Windows has no flush of a whole volume for callers without administrator rights.
    bool syncTogether(const Handle* files, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (!sync(files[i])) return false;
        }
        return true;
    }

    // A file open only for reading is flushed through a second handle that may write.
    bool sync(Handle file) override {
        if (FlushFileBuffers(nativeHandle(file))) return true;
        if (GetLastError() != ERROR_ACCESS_DENIED) return false;
        HANDLE writable = ReOpenFile(nativeHandle(file), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
        if (writable == INVALID_HANDLE_VALUE) return false;
        const bool flushed = FlushFileBuffers(writable) != 0;
        const DWORD error = GetLastError();
        CloseHandle(writable);
        SetLastError(error);
        return flushed;
    }

    bool close(Handle file) override { return CloseHandle(nativeHandle(file)) != 0; }

    bool deleteFile(Path path) override {
        if (!utf8_) return DeleteFileA(path.text) != 0;
        std::wstring wide;
        return wideName(path.text, wide) && DeleteFileW(wide.c_str()) != 0;
    }

    // FILE_APPEND_DATA alone: every write lands at the end, also with other writers.
    bool openForAppending(const char* path, Handle& file) override {
        return keepIfOnDisk(createFile(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL),
                            file);
    }

    // Modal, without an owner window; returns once the user has dismissed it.
    void showMessage(const char* text) override { messageBox(nullptr, text, "Marlune", MB_OK | MB_ICONERROR); }

private:
    static bool ansiToWide(const char* path, std::wstring& wide) {
        const int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
        if (length <= 0) return false;
        wide.assign(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), length);
        wide.pop_back();
        return true;
    }

    static bool wideName(const char* path, std::wstring& wide) {
        try {
            if (toWide(path, wide)) return true;
        } catch (...) {  // no memory for the name
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }

    HANDLE createFile(const char* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* attributes, DWORD disposition,
                      DWORD flags) const {
        if (!utf8_) return CreateFileA(path, access, share, attributes, disposition, flags, nullptr);
        std::wstring wide;
        if (!wideName(path, wide)) return INVALID_HANDLE_VALUE;
        return CreateFileW(wide.c_str(), access, share, attributes, disposition, flags, nullptr);
    }

    DWORD attributesOf(const char* path) const {
        if (!utf8_) return GetFileAttributesA(path);
        std::wstring wide;
        return wideName(path, wide) ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
    }

    // A handle for asking what the file is, which any share mode allows.
    HANDLE openAttributes(const char* path) const {
        return createFile(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    }

    bool utf8_;
};

}  // namespace

Os& nativeOs() {
    static WindowsOs os(false);
    return os;
}

Os& unicodeOs() {
    static WindowsOs os(true);
    return os;
}

std::string utcTimestamp() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32] = "";
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::string utcTimestampOf(std::int64_t modified) {
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(modified) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(modified) >> 32);
    SYSTEMTIME parts{};
    char text[32] = "";
    if (FileTimeToSystemTime(&time, &parts)) {
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", parts.wYear, parts.wMonth, parts.wDay,
                      parts.wHour, parts.wMinute, parts.wSecond);
    }
    return text;
}

int lastSystemError() {
    return static_cast<int>(GetLastError());
}

void setLastSystemError(int code) {
    SetLastError(static_cast<DWORD>(code));
}

// Windows file calls are not interrupted: they finish or fail.
bool isInterruption(int /*code*/) {
    return false;
}

bool isFolderError(int code) {
    return static_cast<DWORD>(code) == ERROR_DIRECTORY;
}

int notAFolderError() {
    return static_cast<int>(ERROR_DIRECTORY);
}

std::string systemWords(int code) {
    return "system error " + std::to_string(code);
}

ErrorKind kindOf(int code) {
    switch (static_cast<DWORD>(code)) {
        // No file can have a name the system does not take.
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ErrorKind::missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return ErrorKind::denied;
        case ERROR_DIRECTORY:
        case ERROR_INVALID_HANDLE:
            return ErrorKind::notAFile;
        // A UTF-8 path that is no valid UTF-8.
        case ERROR_NO_UNICODE_TRANSLATION:
            return ErrorKind::badName;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ErrorKind::diskFull;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return ErrorKind::exists;
        case ERROR_TOO_MANY_OPEN_FILES:
            return ErrorKind::tooManyFiles;
        default:
            return ErrorKind::other;
    }
}

MessageBoxFunction replaceMessageBox(MessageBoxFunction replacement) {
    const MessageBoxFunction previous = messageBox;
    messageBox = replacement;
    return previous;
}

// Critical errors and missing files then reach the library as failed calls
// instead of as the system's own dialogs; flags the host set are kept.
void extendErrorMode() {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool isPathSeparator(char c) {
    return c == '\\' || c == '/';
}

unsigned ansiCodePage() {
    return GetACP();
}

// Code page 0 would mean the process's own (CP_ACP): callers pass the one they mean.
bool isLeadByte(unsigned codePage, unsigned char byte) {
    return codePage != 0 && IsDBCSLeadByteEx(codePage, byte) != 0;
}

// UTF-8 as the wide functions take it. A path too long for the plain form gets
// the \\?\ prefix, which asks for the full path and turns off the 260-character
// limit (and the system's own tidying of the path, hence the full path first).
bool toWide(const char* path, std::wstring& wide) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return false;
    wide.assign(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length);
    wide.pop_back();
    if (wide.size() < MAX_PATH - 12 || wide.rfind(LR"(\\?\)", 0) == 0) return true;
    std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (got == 0 || got >= full.size()) return false;
    full.resize(got);
    wide = full.rfind(LR"(\\)", 0) == 0 ? LR"(\\?\UNC\)" + full.substr(2) : LR"(\\?\)" + full;
    return true;
}

}  // namespace marlune::platform
