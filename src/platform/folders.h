// Folders as a run walks and makes them, and files known by identity: the one
// place where Windows and POSIX differ for it. Names are UTF-8; on Windows every
// path goes through the library's one long-path rule (toWide).
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/os.h"

namespace marlune::platform {

// A name as the file system compares names: in lower case on Windows.
std::string foldedName(const std::string& name);
// Whether the file `to` lacks something that keepTimesAndMode would give it from
// `from`: its modification time, permission bits, and owner and group where the
// caller may set them (a user who is not root keeps the owner, and gives only a
// group of their own to a file of their own).
bool attributesDiffer(const FileAttributes& from, const FileAttributes& to);
#ifndef _WIN32
// Gives the open file `to` the times, mode, owner and group of the file whose state
// `from` is (Os::keepTimesAndMode's rule).
bool keepTimesAndModeOf(const FileState& from, Handle to, int& error);
#endif
// How many files the process may hold open, its soft limit raised to the hard one first.
std::size_t openFilesAllowed();
// How many processors the process may run on (its affinity, where the system tells it).
unsigned processorsAllowed();

// The process's working folder (UTF-8); empty when the system does not tell it.
std::string workingFolder();

#ifdef _WIN32
inline constexpr char pathSeparator = '\\';
#else
inline constexpr char pathSeparator = '/';
#endif

}  // namespace marlune::platform
