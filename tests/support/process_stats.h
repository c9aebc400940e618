// What the process holds, to show that calls give back every descriptor and
// their memory (Linux: read from /proc).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>

namespace marlune::testing {

inline std::size_t openDescriptors() {
    std::size_t count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
        ++count;
    }
    return count;  // includes the one the listing itself holds open
}

// Resident set size in bytes.
inline std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace marlune::testing
