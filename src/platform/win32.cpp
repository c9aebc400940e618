// The operating-system layer on Windows.
#include <windows.h>

#include <cstdint>

#include "platform/os.h"
#include "platform/win32_message_box.h"

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

class WindowsOs final : public Os {
public:
    bool openForReading(const char* path, Handle& file, std::uint64_t& size) override {
        SECURITY_ATTRIBUTES attributes = inheritable();
        Handle opened = noHandle;
        if (!keepIfOnDisk(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
                          opened)) {
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
        return keepIfOnDisk(
            CreateFileA(path, GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), file);
    }

    bool createNew(const char* path, Handle& file) override {
        SECURITY_ATTRIBUTES attributes = inheritable();
        return keepIfOnDisk(
            CreateFileA(path, GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr), file);
    }

    // The name may be replaced when it names nothing, or a file on disk that can be
    // opened for exclusive writing: not while the source (or anyone) holds it.
    bool canReplace(const char* path, Handle /*source*/) override {
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            SetLastError(ERROR_DIRECTORY);
            return false;
        }
        Handle probe = noHandle;
        if (!keepIfOnDisk(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                          probe)) {
            return false;
        }
        CloseHandle(nativeHandle(probe));
        return true;
    }

    bool rename(const char* from, const char* to) override {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }

    // The move is write-through: the folder needs nothing more.
    bool syncFolderOf(const char* /*path*/) override { return true; }

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

    bool sync(Handle file) override { return FlushFileBuffers(nativeHandle(file)) != 0; }

    bool close(Handle file) override { return CloseHandle(nativeHandle(file)) != 0; }

    bool deleteFile(const char* path) override { return DeleteFileA(path) != 0; }

    // Modal, without an owner window; returns once the user has dismissed it.
    void showMessage(const char* text) override { messageBox(nullptr, text, "Marlune", MB_OK | MB_ICONERROR); }
};

}  // namespace

Os& nativeOs() {
    static WindowsOs os;
    return os;
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

}  // namespace marlune::platform
