// The little the command needs from the console it runs in, and the one place
// where Windows and POSIX differ for it.
#pragma once

#include <cstdio>
#include <string>

namespace marlune::cli {

bool isTerminal(std::FILE* stream);

// A name from the command line as the library takes it: UTF-8. On POSIX the
// bytes stay as they are; on Windows they are in the ANSI code page.
std::string libraryPath(const std::string& argument);

}  // namespace marlune::cli
