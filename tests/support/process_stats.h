// What the process holds, to show that calls give back every descriptor and
// their memory. Read from /proc on Linux; elsewhere not measured (always 0).
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>

#ifdef __linux__
#include <unistd.h>
#endif

namespace marlune::testing {

#ifdef __linux__

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
#else
inline std::size_t openDescriptors() {
    return 0;
}
inline std::size_t residentBytes() {
    return 0;
}
#endif

}  // namespace marlune::testing
