// The three commands. Each returns the process's exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace marlune::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct Reporting {
    std::int32_t showErrors;  // passed to the library as it is
    bool quiet;               // -q: the command adds no failure lines of its own either
};

// One KVRBinfo call; the library's own report is the error message.
int copyCommand(const std::string& source, const std::string& destination, const Reporting& reporting);

// IKVRBinfo on each file in turn, going on after a failure.
int convertCommand(const std::vector<std::string>& files, const Reporting& reporting);

// Judges each file as the copy would, without changing it.
int infoCommand(const std::vector<std::string>& files, bool json);

}  // namespace marlune::cli
