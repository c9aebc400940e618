#include <windows.h>

#include <algorithm>

#include "platform/standard_streams.h"

namespace marlune::platform {
namespace {

// At most what a console takes at once (older Windows fail a larger transfer with
// ERROR_NOT_ENOUGH_MEMORY); a pipe gives and takes no more at a time anyway, and a
// file loses little by it.
constexpr std::size_t maxTransfer = 32u << 10;

DWORD transferSize(std::size_t size) {
    return static_cast<DWORD>(std::min(size, maxTransfer));
}

}  // namespace

bool standardInputLength(std::uint64_t& bytes) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || input == nullptr || GetFileType(input) != FILE_TYPE_DISK) return false;
    LARGE_INTEGER size{};
    LARGE_INTEGER at{};
    if (!GetFileSizeEx(input, &size) || !SetFilePointerEx(input, LARGE_INTEGER{}, &at, FILE_CURRENT)) return false;
    if (at.QuadPart < 0 || at.QuadPart > size.QuadPart) return false;
    bytes = static_cast<std::uint64_t>(size.QuadPart - at.QuadPart);
    return true;
}

std::int64_t readStandardInput(void* buffer, std::size_t size, int& error) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    if (ReadFile(input, buffer, transferSize(size), &got, nullptr)) return got;
    const DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE) return 0;  // the writer closed its end: the input ends here
    if (code == ERROR_MORE_DATA) return got;  // a message pipe's message goes on in the next read
    error = static_cast<int>(code);
    return -1;
}

int writeStandardOutput(const void* buffer, std::size_t size) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const auto* bytes = static_cast<const char*>(buffer);
    while (size != 0) {
        DWORD put = 0;
        if (!WriteFile(output, bytes, transferSize(size), &put, nullptr)) return static_cast<int>(GetLastError());
        if (put == 0) return ERROR_WRITE_FAULT;  // a handle that takes nothing would be asked for ever
        bytes += put;
        size -= put;
    }
    return 0;
}

// Windows gives a pipe the size its creator asked for.
void prepareStandardOutput() {}

}  // namespace marlune::platform
