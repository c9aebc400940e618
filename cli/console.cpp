#include "console.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace marlune::cli {

#ifdef _WIN32

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::int32_t defaultShowErrors() {
    return 0;
}

LibraryReports::LibraryReports() = default;
LibraryReports::~LibraryReports() = default;
void LibraryReports::begin() {}
std::string LibraryReports::end() {
    return {};
}

#else

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::int32_t defaultShowErrors() {
    return 1;
}

LibraryReports::LibraryReports() : store_(std::tmpfile()) {}

LibraryReports::~LibraryReports() {
    end();
    if (store_ != nullptr) std::fclose(store_);
}

// Without a store the reports simply go to standard error as they come.
void LibraryReports::begin() {
    if (store_ == nullptr || savedStandardError_ != -1) return;
    const int store = fileno(store_);
    std::fflush(stderr);
    if (ftruncate(store, 0) != 0 || lseek(store, 0, SEEK_SET) != 0) return;
    savedStandardError_ = dup(STDERR_FILENO);
    if (savedStandardError_ != -1 && dup2(store, STDERR_FILENO) == -1) {
        close(savedStandardError_);
        savedStandardError_ = -1;
    }
}

std::string LibraryReports::end() {
    if (savedStandardError_ == -1) return {};
    std::fflush(stderr);
    dup2(savedStandardError_, STDERR_FILENO);
    close(savedStandardError_);
    savedStandardError_ = -1;

    // The library wrote through the same open file, so the position is its size.
    const int store = fileno(store_);
    const off_t size = lseek(store, 0, SEEK_CUR);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    const ssize_t got = pread(store, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);

    std::string line;
    constexpr std::string_view prefix = "Marlune: ";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t stop = text.find('\n', start);
        if (stop == std::string::npos) stop = text.size();
        std::string_view piece(text.data() + start, stop - start);
        if (piece.substr(0, prefix.size()) == prefix) piece.remove_prefix(prefix.size());
        if (!piece.empty()) {
            if (!line.empty()) line += ' ';
            line += piece;
        }
        start = stop + 1;
    }
    return line;
}

#endif

}  // namespace marlune::cli
