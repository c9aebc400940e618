// The little the command needs from the console it runs in, and the one place
// where Windows and POSIX differ for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace marlune::cli {

bool isTerminal(std::FILE* stream);

// The show-errors value given to the library unless -q or --show-errors says
// otherwise: 1 on POSIX, where the library writes one line on standard error;
// 0 on Windows, where it would open a message box for every failure.
std::int32_t defaultShowErrors();

// Collects what the library writes on standard error during one call, so that
// the command can put it on one line with the file's name. Where the library
// does not report on standard error (Windows) it collects nothing.
class LibraryReports {
public:
    LibraryReports();
    ~LibraryReports();
    LibraryReports(const LibraryReports&) = delete;
    LibraryReports& operator=(const LibraryReports&) = delete;

    void begin();
    // What was written since begin(), without the library's "Marlune: " prefix
    // and on one line; empty when nothing was.
    std::string end();

private:
    std::FILE* store_ = nullptr;  // an anonymous temporary file
    int savedStandardError_ = -1;
};

}  // namespace marlune::cli
