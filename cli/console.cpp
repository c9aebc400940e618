#include "console.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace marlune::cli {

#ifdef _WIN32

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::string libraryPath(const std::string& argument) {
    const int wide = MultiByteToWideChar(CP_ACP, 0, argument.c_str(), -1, nullptr, 0);
    if (wide <= 0) return argument;
    std::wstring text(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, argument.c_str(), -1, text.data(), wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return argument;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

#else

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::string libraryPath(const std::string& argument) {
    return argument;
}

#endif

}  // namespace marlune::cli
